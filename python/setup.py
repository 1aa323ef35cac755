"""Wheel tagging: the metadata lives in pyproject.toml.

A package that carries the compiled libraries (copied into calyra/lib by
`cmake --install build --prefix python/calyra`) runs only on the platform
they were built for, so its wheel is tagged for that platform
(py3-none-linux_x86_64, say): pure Python over ctypes, hence any Python 3.
Without the libraries the wheel stays pure (py3-none-any) and finds them
through CALYRA_LIBRARY_PATH or the system loader.
"""

import glob
import os

from setuptools import Distribution, setup

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1
    from wheel.bdist_wheel import bdist_wheel

_HERE = os.path.dirname(os.path.abspath(__file__))


def _carries_libraries() -> bool:
    return bool(glob.glob(os.path.join(_HERE, "calyra", "lib", "lib*.so.*")))


class LibraryDistribution(Distribution):
    """Counts the carried libraries as compiled code, so that they are built
    into the platform tree and the wheel is not marked pure."""

    def has_ext_modules(self) -> bool:
        return _carries_libraries()


class PlatformWheel(bdist_wheel):  # type: ignore[misc]
    def get_tag(self):  # type: ignore[no-untyped-def]
        python, abi, platform = super().get_tag()
        if _carries_libraries():
            return "py3", "none", platform  # no extension module: any Python 3
        return python, abi, platform


setup(distclass=LibraryDistribution, cmdclass={"bdist_wheel": PlatformWheel})
