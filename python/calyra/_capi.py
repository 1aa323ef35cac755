"""ctypes declarations of the libcycore and libcybciconnect C APIs.

The records mirror the C layouts byte for byte (their sizes are checked at
load time against the values the headers assert). Each library is loaded on
first use, so that `import calyra` works, and reports a missing library only
when something needs it.
"""

import ctypes
import logging
import threading
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple
from ctypes import (CFUNCTYPE, POINTER, Structure, c_bool, c_char, c_char_p, c_double,
                    c_int, c_int64, c_size_t, c_uint8, c_uint16, c_uint64, c_void_p)

from . import _loader

cy_error = c_uint8

# ---- records ---------------------------------------------------------------


class Version(Structure):
    _fields_ = [("major", c_uint8), ("minor", c_uint8), ("patch", c_uint8)]


class CoreConfig(Structure):
    _fields_ = [
        ("log_buffer_size", c_uint64),
        ("log_path", c_char * 200),
        ("log_level", c_uint8),
        ("append_logs", c_bool),
        ("timestamps_enabled", c_bool),
        ("autoflush", c_bool),
        ("thread_ids_enabled", c_bool),
        ("chunk_size", c_uint64),
        ("logging_enabled", c_bool),
        ("update_path", c_char * 200),
        ("adapter_index", c_uint8),
    ]


class DeviceInfo(Structure):
    _fields_ = [
        ("id", c_uint8),
        ("hardware_version", Version),
        ("firmware_version", Version),
        ("serial_number", c_uint64),
        ("reserved", c_uint8 * 8),
    ]


class ScanEntry(Structure):
    _fields_ = [("name", c_char_p), ("address", c_char_p)]


class BatteryInfo(Structure):
    _fields_ = [("level", c_uint8), ("is_charger_connected", c_bool), ("is_charging", c_bool)]


class Annotation(Structure):
    _fields_ = [("sample_number", c_int64), ("text", c_char_p)]


class VirtualStats(Structure):
    _fields_ = [
        ("connected", c_bool),
        ("streaming", c_bool),
        ("packets_sent", c_uint64),
        ("packets_lost", c_uint64),
        ("ota_image_bytes", c_uint64),
        ("ota_completed", c_bool),
    ]


class StreamStats(Structure):
    _fields_ = [
        ("packets_received", c_uint64),
        ("missed_packets", c_uint64),
        ("filled_samples", c_uint64),
        ("undecodable_payloads", c_uint64),
    ]


class ClockInfo(Structure):
    _fields_ = [
        ("state", c_uint8),
        ("drift_ppm", c_double),
        ("rate_hz", c_double),
        ("nominal_rate_hz", c_double),
        ("jitter_ms", c_double),
        ("span_s", c_double),
        ("packets_fitted", c_uint64),
    ]


class StreamResume(Structure):
    _fields_ = [
        ("first_sample", c_int64),
        ("filled", c_uint64),
        ("gap_s", c_double),
    ]


# Sizes and offsets the C headers assert; a mismatch means these
# declarations went stale.
assert ctypes.sizeof(Version) == 3
assert ctypes.sizeof(CoreConfig) == 432
assert CoreConfig.chunk_size.offset == 216
assert CoreConfig.adapter_index.offset == 425
assert ctypes.sizeof(DeviceInfo) == 24
assert DeviceInfo.serial_number.offset == 8
assert ctypes.sizeof(BatteryInfo) == 3
assert ctypes.sizeof(StreamStats) == 32 and StreamStats.undecodable_payloads.offset == 24
assert ctypes.sizeof(ClockInfo) == 56 and ClockInfo.packets_fitted.offset == 48
assert ctypes.sizeof(StreamResume) == 24

# ---- callbacks -------------------------------------------------------------

CONNECT_CALLBACK = CFUNCTYPE(None, c_bool, c_void_p)
COMPLETION_CALLBACK = CFUNCTYPE(None, c_void_p)
# channel_data is taken as a plain address: the chunk handler reads the
# pointer table with one memmove instead of building a ctypes object.
CHUNK_CALLBACK = CFUNCTYPE(None, c_void_p, c_size_t, c_void_p)
DISCONNECT_CALLBACK = CFUNCTYPE(None, c_void_p)
BATTERY_CALLBACK = CFUNCTYPE(None, POINTER(BatteryInfo), c_void_p)
UPDATE_PROGRESS_CALLBACK = CFUNCTYPE(None, c_void_p, c_size_t, c_size_t)
LOG_HANDLER = CFUNCTYPE(None, c_uint8, c_uint64, c_char_p, c_void_p)

M = c_void_p  # cy_eeg_manager*

_CYCORE_FUNCTIONS: Dict[str, Tuple[Any, List[Any]]] = {
    "cy_core_init": (cy_error, []),
    "cy_core_close": (cy_error, []),
    "cy_core_get_config": (cy_error, [POINTER(CoreConfig)]),
    "cy_core_set_config": (cy_error, [POINTER(CoreConfig)]),
    "cy_core_get_version": (POINTER(Version), []),
    "cy_core_scan": (cy_error, [POINTER(POINTER(ScanEntry)), POINTER(c_uint64)]),
    "cy_core_device_features_get": (c_void_p, [POINTER(DeviceInfo)]),
    "cy_core_device_features_has_accel": (c_bool, [c_void_p]),
    "cy_core_device_features_has_gyro": (c_bool, [c_void_p]),
    "cy_core_device_features_is_bipolar": (c_bool, [c_void_p]),
    "cy_core_device_features_electrode_count": (c_uint8, [c_void_p]),
    "cy_core_device_features_supports_ota": (c_bool, [c_void_p]),
    "cy_eeg_manager_new": (M, []),
    "cy_eeg_manager_free": (None, [M]),
    "cy_eeg_manager_connect": (cy_error, [M, c_char_p, CONNECT_CALLBACK, c_void_p]),
    "cy_eeg_manager_disconnect": (None, [M]),
    "cy_eeg_manager_is_connected": (c_bool, [M]),
    "cy_eeg_manager_get_device_info": (POINTER(DeviceInfo), [M]),
    "cy_eeg_manager_start_stream": (cy_error, [M, COMPLETION_CALLBACK, c_void_p]),
    "cy_eeg_manager_stop_stream": (cy_error, [M, COMPLETION_CALLBACK, c_void_p]),
    "cy_eeg_manager_is_streaming": (c_bool, [M]),
    "cy_eeg_manager_get_stream_channel_data_types":
        (None, [M, POINTER(POINTER(c_uint8)), POINTER(c_size_t)]),
    "cy_eeg_manager_set_callback_chunk": (None, [M, CHUNK_CALLBACK, c_void_p]),
    "cy_eeg_manager_set_callback_battery": (None, [M, BATTERY_CALLBACK, c_void_p]),
    "cy_eeg_manager_set_callback_disconnect": (None, [M, DISCONNECT_CALLBACK, c_void_p]),
    "cy_eeg_manager_set_channel_enabled": (None, [M, c_uint16, c_bool]),
    "cy_eeg_manager_set_channel_gain": (None, [M, c_uint16, c_uint8]),
    "cy_eeg_manager_set_channel_bias": (None, [M, c_uint16]),
    "cy_eeg_manager_set_impedance_mode": (None, [M, c_uint8]),
    "cy_eeg_manager_set_data_stream_rate": (cy_error, [M, c_uint8]),
    "cy_eeg_manager_get_channel_index": (c_int64, [M, c_uint16]),
    "cy_eeg_manager_get_sample_frequency": (c_uint8, [M]),
    "cy_eeg_manager_get_battery_info": (BatteryInfo, [M]),
    "cy_eeg_manager_load_config": (cy_error, [M, COMPLETION_CALLBACK, c_void_p]),
    "cy_eeg_manager_annotate": (cy_error, [M, c_char_p]),
    "cy_eeg_manager_get_annotations": (None, [M, POINTER(POINTER(Annotation)), POINTER(c_size_t)]),
    "cy_eeg_manager_clear_annotations": (None, [M]),
    "cy_eeg_manager_start_update": (cy_error, [M, UPDATE_PROGRESS_CALLBACK, c_void_p]),
    "cy_gain_mode_to_multiplier": (c_int, [c_uint8]),
    "cy_virtual_configure": (cy_error, [c_char_p]),
    "cy_virtual_check_devices": (cy_error, [c_char_p, POINTER(c_char), c_size_t]),
    "cy_virtual_reset": (None, []),
    "cy_virtual_set_scan_scale": (cy_error, [c_double]),
    "cy_virtual_get_stats": (cy_error, [c_char_p, POINTER(VirtualStats)]),
    "cy_virtual_drop_link": (cy_error, [c_char_p]),
    "cy_virtual_drop_link_for": (cy_error, [c_char_p, ctypes.c_uint32]),
    "cy_virtual_trigger": (cy_error, [c_char_p]),
    "cy_virtual_get_config_record": (c_size_t, [c_char_p, POINTER(c_uint8), c_size_t]),
    "cy_virtual_set_battery": (cy_error, [c_char_p, c_uint8, c_bool]),
}

_D = POINTER(c_double)


class FilterStage(Structure):
    """cy_bci_filter_stage: one design of an online filter chain."""
    _fields_ = [("kind", c_int), ("order", c_int), ("f1", c_double), ("f2", c_double)]


_BCI_FUNCTIONS: Dict[str, Tuple[Any, List[Any]]] = {
    "cy_bci_connect_get_version": (POINTER(Version), []),
    "cy_bci_connect_median": (None, [_D, c_size_t, c_size_t, _D]),
    "cy_bci_connect_mad": (None, [_D, c_size_t, c_size_t, _D]),
    "cy_bci_connect_minmax": (None, [_D, c_size_t, c_size_t, _D, _D]),
    "cy_bci_connect_mean": (None, [_D, c_size_t, c_size_t, _D]),
    "cy_bci_connect_std": (None, [_D, c_size_t, c_size_t, _D]),
    "cy_bci_connect_demean": (None, [_D, c_size_t, c_size_t, _D]),
    "cy_bci_connect_standartize": (None, [_D, c_size_t, c_size_t, _D]),
    "cy_bci_connect_ewma": (None, [_D, c_size_t, c_size_t, _D, c_double]),
    "cy_bci_connect_ewma_standartize": (None, [_D, c_size_t, c_size_t, _D, c_double, c_double]),
    "cy_bci_connect_detrend": (None, [_D, c_size_t, c_size_t, _D]),
    "cy_bci_connect_fft": (None, [_D, c_size_t, c_size_t, _D, _D, c_double]),
    "cy_bci_connect_get_signal_quality": (None, [_D, c_size_t, c_size_t, _D, c_double]),
    "cy_bci_connect_filter_lowpass": (None, [_D, c_size_t, c_size_t, c_double, c_double]),
    "cy_bci_connect_filter_highpass": (None, [_D, c_size_t, c_size_t, c_double, c_double]),
    "cy_bci_connect_filter_bandpass":
        (None, [_D, c_size_t, c_size_t, c_double, c_double, c_double]),
    "cy_bci_connect_filter_notch": (None, [_D, c_size_t, c_size_t, c_double, c_double, c_double]),
    "cy_bci_online_filter_new_chain":
        (c_void_p, [POINTER(FilterStage), c_size_t, c_double, c_size_t, POINTER(c_int)]),
    "cy_bci_online_filter_process": (None, [c_void_p, _D, c_size_t, _D]),
    "cy_bci_online_filter_reset": (c_int, [c_void_p, c_int]),
    "cy_bci_online_filter_sections": (c_size_t, [c_void_p]),
    "cy_bci_online_filter_get_sos": (None, [c_void_p, _D]),
    "cy_bci_online_filter_free": (None, [c_void_p]),
    "cy_bci_online_filter_error_text": (c_char_p, [c_int]),
}

# Newer parts of the C API: declared when the loaded library has them, so
# that the package still runs over an older library (has() tells).
_CYCORE_OPTIONAL: Dict[str, Tuple[Any, List[Any]]] = {
    "cy_core_set_stdout_diagnostics": (cy_error, [c_bool]),
    "cy_core_device_model_name": (c_char_p, [c_uint8]),
    "cy_eeg_manager_get_stream_stats": (cy_error, [M, POINTER(StreamStats)]),
    "cy_eeg_manager_time_of_sample": (cy_error, [M, c_double, POINTER(c_int64)]),
    "cy_eeg_manager_sample_at": (cy_error, [M, c_int64, POINTER(c_double)]),
    "cy_eeg_manager_published_times": (cy_error, [M, c_int64, c_size_t, POINTER(c_int64)]),
    "cy_eeg_manager_annotate_at": (cy_error, [M, c_char_p, c_int64]),
    "cy_eeg_manager_get_clock_info": (cy_error, [M, POINTER(ClockInfo)]),
    "cy_stream_resume_position":
        (cy_error, [c_int64, c_int64, c_int64, c_double, POINTER(StreamResume)]),
    "cy_core_last_error_text": (c_char_p, []),
    "cy_core_set_log_handler": (cy_error, [LOG_HANDLER, c_uint8, c_void_p]),
    "cy_core_find_headset":
        (cy_error, [c_char_p, POINTER(POINTER(ScanEntry)), POINTER(c_char_p)]),
}

_lock = threading.Lock()
_libs: Dict[str, Any] = {}


def _declare(lib: Any, functions: Dict[str, Tuple[Any, List[Any]]], optional: bool = False) -> Any:
    for name, (restype, argtypes) in functions.items():
        if optional and not hasattr(lib, name):
            continue
        f = getattr(lib, name)
        f.restype = restype
        f.argtypes = argtypes
    return lib


_offered: Dict[str, bool] = {}


def has(name: str) -> bool:
    """True when the loaded libcycore offers the function `name`."""
    offered = _offered.get(name)
    if offered is None:
        offered = _offered[name] = hasattr(cycore(), name)
    return offered


def _load_once(key: str, names: Sequence[str], set_up: Callable[[Any], None]) -> Any:
    """The library `key`, loaded from `names` and set up on first use."""
    lib = _libs.get(key)
    if lib is None:
        with _lock:
            lib = _libs.get(key)
            if lib is None:
                lib = _loader.load(names)
                set_up(lib)
                _libs[key] = lib
    return lib


# The library's log lines go to this logger, from whichever thread writes
# them (a BLE thread too: the handler takes the GIL like any callback).
LOGGER = logging.getLogger("calyra.core")
_PYTHON_LEVELS = {0: 5, 1: logging.DEBUG, 2: logging.INFO, 3: logging.WARNING, 4: logging.ERROR}


def _forward_log_line(level: int, thread: int, text: Optional[bytes], _: Any) -> None:
    python_level = _PYTHON_LEVELS.get(level, logging.ERROR)
    if LOGGER.isEnabledFor(python_level):
        LOGGER.log(python_level, "%s", (text or b"").decode(errors="replace"),
                   extra={"cycore_thread": thread})


# Kept for the life of the process: the library holds its address.
_LOG_HANDLER = LOG_HANDLER(_forward_log_line)


def forward_log(min_level: Optional[int]) -> None:
    """Hands the library's lines of at least `min_level` (a cy_log_level) to
    the logger "calyra.core"; None stops (waiting for calls in progress)."""
    lib = cycore()
    if not hasattr(lib, "cy_core_set_log_handler"):
        return
    if min_level is None:
        lib.cy_core_set_log_handler(LOG_HANDLER(), 0, None)  # type: ignore[call-overload]
    else:
        lib.cy_core_set_log_handler(_LOG_HANDLER, min_level, None)


def _set_up_cycore(lib: Any) -> None:
    _declare(lib, _CYCORE_FUNCTIONS)
    _declare(lib, _CYCORE_OPTIONAL, optional=True)
    # The library writes nothing to the program's standard output or error
    # (its configuration record, the line per stream gap, failure lines):
    # everything goes to its log, which reaches the logger "calyra.core".
    # Python sees losses as Block.filled and in Headset.stream_stats.
    if hasattr(lib, "cy_core_set_stdout_diagnostics"):
        lib.cy_core_set_stdout_diagnostics(False)
    if hasattr(lib, "cy_core_set_log_handler"):
        lib.cy_core_set_log_handler(_LOG_HANDLER, 2, None)  # INFO, as the library's log file


def cycore() -> Any:
    """The loaded libcycore with every function declared."""
    return _load_once("cycore", _loader.CYCORE_NAMES, _set_up_cycore)


def cybciconnect() -> Any:
    """The loaded libcybciconnect with every function declared."""
    return _load_once("cybciconnect", _loader.CYBCICONNECT_NAMES,
                      lambda lib: _declare(lib, _BCI_FUNCTIONS))


def last_error_text() -> str:
    """libcycore's sentence for this thread's last failed call; "" when the
    library is not loaded or has no such call."""
    lib = _libs.get("cycore")
    if lib is None or not hasattr(lib, "cy_core_last_error_text"):
        return ""
    return (lib.cy_core_last_error_text() or b"").decode(errors="replace")

# Null function pointers for "no callback" (ctypes does not turn None into
# one for a CFUNCTYPE argument).
NO_CONNECT_CALLBACK = CONNECT_CALLBACK()  # type: ignore[call-overload]
NO_COMPLETION_CALLBACK = COMPLETION_CALLBACK()  # type: ignore[call-overload]
