"""Finding and loading the two shared libraries.

Search order for each library: the directories in CALYRA_LIBRARY_PATH (in
order, separated by ':'), then the package's own folder and its lib/
subfolder (where `cmake --install build --prefix <package folder>` puts
them), then the system loader (LD_LIBRARY_PATH, ld.so.cache, /usr/lib ...).
"""

import ctypes
import os
from typing import Any, List, Sequence

from .errors import LibraryNotFound

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

# File names tried in every directory: the SONAME first (what an installed
# library is found by), then the development link.
CYCORE_NAMES = ("libcycore.so.3", "libcycore.so")
CYBCICONNECT_NAMES = ("libcybciconnect.so.2", "libcybciconnect.so")


def _search_dirs() -> List[str]:
    dirs: List[str] = []
    env = os.environ.get("CALYRA_LIBRARY_PATH", "")
    dirs.extend(d for d in env.split(os.pathsep) if d)
    dirs.append(os.path.join(_PACKAGE_DIR, "lib"))
    dirs.append(_PACKAGE_DIR)
    return dirs


def load(names: Sequence[str]) -> Any:
    """Loads the first library found under one of `names`.

    Raises LibraryNotFound naming every place searched, and the loader's own
    message when a file was found but could not be loaded (wrong
    architecture, missing dependency).
    """
    tried = []
    for directory in _search_dirs():
        for name in names:
            path = os.path.join(directory, name)
            tried.append(path)
            if os.path.exists(path):
                try:
                    return ctypes.CDLL(path)
                except OSError as e:
                    raise LibraryNotFound(f"{path} exists but cannot be loaded: {e}") from e
    errors = []
    for name in names:
        tried.append(f"{name} through the system loader")
        try:
            return ctypes.CDLL(name)
        except OSError as e:
            errors.append(str(e))
    raise LibraryNotFound(
        f"cannot find {names[0]}. Searched: " + "; ".join(tried) +
        ". Set CALYRA_LIBRARY_PATH to the folder holding it (for a build tree: "
        "build/core:build/bciconnect), or install the libraries with "
        "`cmake --install build`.")
