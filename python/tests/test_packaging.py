"""The wheel: tagged for the platform of the libraries it carries, each
library once, and working from where pip puts it."""

import glob
import os
import shutil
import subprocess
import sys
import zipfile

import pytest

_PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _library_files():
    """Every file of the two libraries (real files and their links), as
    `cmake --install` copies them into the package."""
    files = []
    for directory in os.environ["CALYRA_LIBRARY_PATH"].split(os.pathsep):
        files += glob.glob(os.path.join(directory, "libcycore.so*"))
        files += glob.glob(os.path.join(directory, "libcybciconnect.so*"))
    return files


def test_a_wheel_with_the_libraries_is_a_platform_wheel_holding_each_once(tmp_path):
    pytest.importorskip("wheel")
    source = tmp_path / "python"
    shutil.copytree(_PACKAGE_ROOT, source, ignore=shutil.ignore_patterns(
        "tests", "build", "*.egg-info", "__pycache__", ".mypy_cache", "lib"))
    (source / "calyra" / "lib").mkdir()
    for path in _library_files():
        shutil.copy(path, source / "calyra" / "lib", follow_symlinks=False)
    out = subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation",
                          "--no-deps", "-w", str(tmp_path / "dist"), str(source)],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    [wheel] = glob.glob(str(tmp_path / "dist" / "*.whl"))
    assert os.path.basename(wheel).endswith("-py3-none-linux_x86_64.whl")
    with zipfile.ZipFile(wheel) as z:
        libraries = sorted(n for n in z.namelist() if ".so" in n)
        z.extractall(tmp_path / "installed")
    assert libraries == ["calyra/lib/libcybciconnect.so.2", "calyra/lib/libcycore.so.3"]
    env = {k: v for k, v in os.environ.items() if k not in ("CALYRA_LIBRARY_PATH", "PYTHONPATH")}
    env["LD_LIBRARY_PATH"] = ""
    check = subprocess.run([sys.executable, "-c", "import calyra; print(calyra.version(), "
                            "calyra.signal.mean([[1.0, 3.0]]))"],
                           cwd=tmp_path / "installed", env=env, capture_output=True, text=True,
                           timeout=60)
    assert check.returncode == 0 and check.stdout.startswith("(3, "), check.stderr
