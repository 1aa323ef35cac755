"""Process-wide state of libcycore: initialisation, configuration, scans and
the choice of virtual headsets.

libcycore's init, close, configuration and scan functions change state no
lock guards; this module serialises them under one lock and initialises the
library on first use. At interpreter exit every open headset is closed
before the library is, so no callback can reach a finalising interpreter.
"""

import atexit
import ctypes
import os
import threading
from typing import (Any, Callable, Dict, List, NamedTuple, Optional, Sequence,
                    Tuple, Union)

from . import _capi, _reaper
from .errors import PreconditionFailed, check, error_for

_lock = threading.RLock()
_initialised = False
_virtual = False
_open_headsets: Dict[int, Callable[[], Any]] = {}  # id -> finalizer of a Headset not yet closed
# lower-case advertised name -> (id of the Headset using it, the name it uses)
_open_names: Dict[str, Tuple[int, str]] = {}


class ScanResult(NamedTuple):
    """A headset seen by a scan. `paired` is True when the headset was listed
    among the paired peripherals, None when the scan cannot tell (the
    library's scan table carries no paired flag: a paired headset that also
    advertises appears twice, which is how True is recognised)."""

    name: str
    address: str
    paired: Optional[bool]


_SCAN_SECONDS = 5.0


def lib() -> Any:
    """libcycore, initialised."""
    ensure_initialised()
    return _capi.cycore()


def ensure_initialised() -> None:
    global _initialised
    if _initialised:
        return
    with _lock:
        if _initialised:
            return
        code = _capi.cycore().cy_core_init()
        # PRECONDITION_FAILED: someone else in this process initialised it.
        if code not in (0, PreconditionFailed.code):
            check(code, "cy_core_init")
        _initialised = True
        atexit.register(_shutdown)


def register_headset(key: int, finalizer: Callable[[], Any]) -> None:
    with _lock:
        _open_headsets[key] = finalizer


def unregister_headset(key: int) -> None:
    with _lock:
        _open_headsets.pop(key, None)
        release_names(key)


def claim_name(name: str, key: int) -> None:
    """Marks the headset `name` as used by the Headset `key`. Two managers on
    one headset would share its single stream (the second start restarts
    the first one's sample numbers), so a second claim is refused."""
    # A Headset collected on a library thread releases its name only once
    # its manager is freed on the release thread.
    _reaper.flush()
    with _lock:
        holder = _open_names.get(name.lower())
        if holder is not None and holder[0] != key:
            raise PreconditionFailed(
                f"headset {holder[1]!r} is already open in this process: close that Headset "
                "(or use it) instead of opening a second one, which would restart its stream")
        _open_names[name.lower()] = (key, name)


def release_names(key: int) -> None:
    with _lock:
        for name in [n for n, (k, _) in _open_names.items() if k == key]:
            del _open_names[name]


def _shutdown() -> None:
    global _initialised
    with _lock:
        finalizers = list(_open_headsets.values())
    for f in finalizers:
        f()
    _reaper.flush()
    with _lock:
        if _initialised:
            _capi.cycore().cy_core_close()
            _initialised = False
    # No library line may reach the interpreter once it finalises.
    _capi.forward_log(None)


def version() -> Tuple[int, int, int]:
    """libcycore's version as a (major, minor, patch) tuple."""
    v = _capi.cycore().cy_core_get_version().contents
    return (v.major, v.minor, v.patch)


def configure(*, chunk_size: Optional[int] = None, logging: Optional[bool] = None,
              log_path: Union[str, "os.PathLike[str]", None] = None,
              log_level: Optional[str] = None, adapter_index: Optional[int] = None) -> None:
    """Changes libcycore's process-wide configuration; None leaves a field.

    chunk_size: samples per chunk handed to Python (library default 25).
      Larger chunks cost fewer Python callbacks at high sample rates; the
      value applies to streams started afterwards.
    logging: True writes the library log to log_path (default "cycore.log").
    log_level: "verbose", "debug", "info", "warning" or "error": the lowest
      level written to the log file and handed to the logger "calyra.core"
      (which receives the library's lines from INFO up by default, whether
      or not the file is on).
    adapter_index: the Bluetooth adapter to use.

    The library requires that no other thread uses it during this call, so
    call it before connecting headsets.
    """
    levels = {"verbose": 0, "debug": 1, "info": 2, "warning": 3, "error": 4}
    with _lock:
        cy = lib()
        config = _capi.CoreConfig()
        check(cy.cy_core_get_config(ctypes.byref(config)), "cy_core_get_config")
        if chunk_size is not None:
            if int(chunk_size) < 1:
                raise ValueError("chunk_size must be at least 1")
            config.chunk_size = int(chunk_size)
        if logging is not None:
            config.logging_enabled = bool(logging)
        if log_path is not None:
            config.log_path = _path_bytes(log_path)
        if log_level is not None:
            config.log_level = levels[log_level]
            _capi.forward_log(levels[log_level])
        if adapter_index is not None:
            config.adapter_index = int(adapter_index)
        check(cy.cy_core_set_config(ctypes.byref(config)), "cy_core_set_config")


def get_config() -> Dict[str, Any]:
    """The library configuration as a dict."""
    with _lock:
        config = _capi.CoreConfig()
        check(lib().cy_core_get_config(ctypes.byref(config)), "cy_core_get_config")
    return {name: (getattr(config, name).decode() if isinstance(getattr(config, name), bytes)
                   else getattr(config, name)) for name, _ in _capi.CoreConfig._fields_}


def set_update_path(path: str) -> None:
    with _lock:
        cy = lib()
        config = _capi.CoreConfig()
        check(cy.cy_core_get_config(ctypes.byref(config)), "cy_core_get_config")
        config.update_path = _path_bytes(path)
        check(cy.cy_core_set_config(ctypes.byref(config)), "cy_core_set_config")


def _path_bytes(path: Union[str, "os.PathLike[str]"]) -> bytes:
    raw = os.fsencode(path)
    if len(raw) > 199:
        raise ValueError(f"path longer than the library's 199 bytes: {path!r}")
    return raw


def use_virtual_headsets(devices: Union[str, Sequence[str], None] = None) -> None:
    """Switches to libcycore's built-in virtual headsets.

    devices: None for the six default headsets ("CY WREN 1" .. "CY KESTREL
    6"), or the CYCORE_VIRTUAL_DEVICES list: one string such as
    "CY KESTREL 5,pace=fast;CY FINCH 2,model=1", or a sequence of entries.
    Takes effect at once; headsets connected before stay usable. Raises
    PreconditionFailed for a malformed list, with the library's reason.
    """
    global _virtual
    if devices is not None and not isinstance(devices, str):
        devices = ";".join(devices)
    encoded = devices.encode() if devices else None
    with _lock:
        cy = _capi.cycore()
        reason = ctypes.create_string_buffer(512)
        code = cy.cy_virtual_check_devices(encoded, reason, len(reason))
        if code != 0:
            raise PreconditionFailed(
                f"virtual headsets {devices!r}: {reason.value.decode(errors='replace')}",
                code=code)
        check(cy.cy_virtual_configure(encoded), f"virtual headsets {devices!r}")
        _virtual = True
    ensure_initialised()


def using_virtual_headsets() -> bool:
    return _virtual or os.environ.get("CYCORE_BLE_BACKEND") == "virtual"


def _raw_scan(seconds: float) -> Tuple[int, List[Tuple[str, str]]]:
    with _lock:
        cy = lib()
        if using_virtual_headsets():
            check(cy.cy_virtual_set_scan_scale(seconds / _SCAN_SECONDS), "scan duration")
        entries = ctypes.POINTER(_capi.ScanEntry)()
        count = ctypes.c_uint64()
        code = cy.cy_core_scan(ctypes.byref(entries), ctypes.byref(count))
        if code != 0:
            return code, []
        found = [(entries[i].name.decode(errors="replace"), entries[i].address.decode())
                 for i in range(count.value)]
        return 0, found


def scan(seconds: float = 5) -> List[ScanResult]:
    """Headsets within reach as a list of ScanResult(name, address, paired).

    The library scans for 5 s. With virtual headsets `seconds` (0..5)
    shortens the scan; the Bluetooth backend always takes the full 5 s, so
    other values are refused there. Raises BluetoothDisabled,
    AdapterNotFound, ... when the scan cannot run.
    """
    seconds = float(seconds)
    if not 0.0 <= seconds <= _SCAN_SECONDS:
        raise ValueError("seconds must lie within 0..5")
    if seconds != _SCAN_SECONDS and not using_virtual_headsets():
        raise ValueError("the Bluetooth scan always lasts 5 s; only virtual headsets "
                         "scan for shorter")
    code, found = _raw_scan(seconds)
    if code != 0:
        raise error_for(code, "scan")
    results = {}
    for name, address in found:
        if address in results:
            results[address] = ScanResult(name, address, True)
        else:
            results[address] = ScanResult(name, address, None)
    return list(results.values())


_STATUS = {0: "enabled", 4: "disabled", 5: "no_adapter", 6: "adapter_index_not_found"}


def bluetooth_status() -> str:
    """"enabled", "disabled", "no_adapter" or "adapter_index_not_found".

    libcycore checks Bluetooth only at the start of a scan, so this runs one
    (instantly with virtual headsets; with the Bluetooth backend a working
    adapter costs the full 5 s scan). Other scan failures raise.
    """
    code, _ = _raw_scan(0.0 if using_virtual_headsets() else _SCAN_SECONDS)
    if code in _STATUS:
        return _STATUS[code]
    raise error_for(code, "Bluetooth status")


def find_headset(wanted: str) -> Tuple[Optional[str], Optional[str], str]:
    """Scans (virtual headsets at once, the Bluetooth scan takes its 5 s) and
    asks libcycore which seen headset `wanted` means (an exact name, a name
    in another case, an address). Returns (advertised name, None, "") for a
    match, else (None, the nearest name when one is a likely typo, the
    library's sentence); (None, None, "") when the scan fails or the library
    cannot look names up."""
    with _lock:
        code, _ = _raw_scan(0.0 if using_virtual_headsets() else _SCAN_SECONDS)
        if code != 0 or not _capi.has("cy_core_find_headset"):
            return None, None, ""
        match = ctypes.POINTER(_capi.ScanEntry)()
        nearest = ctypes.c_char_p()
        code = lib().cy_core_find_headset(wanted.encode(), ctypes.byref(match), ctypes.byref(nearest))
        if code == 0:
            return match.contents.name.decode(errors="replace"), None, ""
        text = _capi.last_error_text()
        return None, (nearest.value.decode(errors="replace") if nearest.value else None), text
