"""Test set-up: the package from this source tree, the libraries from the
build tree (CALYRA_LIBRARY_PATH when set, else build/core and
build/bciconnect of this repository), and virtual headsets."""

import os
import sys

import pytest

_HERE = os.path.dirname(os.path.abspath(__file__))
_REPO = os.path.dirname(os.path.dirname(_HERE))
sys.path.insert(0, os.path.dirname(_HERE))
os.environ.setdefault("CALYRA_LIBRARY_PATH", os.pathsep.join(
    os.path.join(_REPO, "build", d) for d in ("core", "bciconnect")))
# OpenBLAS threads only cost time here (and upset sanitizers).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import calyra  # noqa: E402


@pytest.fixture
def virtual():
    """Selects the virtual headsets given as a device list; every headset
    opened through the returned function is closed after the test."""
    opened = []

    def use(devices, **headset_options):
        calyra.use_virtual_headsets(devices)
        return lambda name, **kw: _open(opened, name, {**headset_options, **kw})

    yield use
    for h in opened:
        h.close()


def _open(opened, name, options):
    h = calyra.Headset(name, **options)
    opened.append(h)
    return h
