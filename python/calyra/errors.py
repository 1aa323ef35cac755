"""Exceptions of the calyra package.

Every result code of libcycore has its own class, all derived from
CalyraError, which carries the numeric `code` and a readable `message`.
The classes for conditions the Python layer detects (a full buffer, a lost
link, a stalled stream) derive from CalyraError as well.
"""

import builtins
from typing import Any, Optional


class CalyraError(Exception):
    """Base of every calyra error. `code` is the library's result code (None
    for conditions detected by the Python layer)."""

    code: Optional[int] = None
    description = "libcycore error"
    # What record() had received when it failed: the partial recording as
    # an mne.io.RawArray and as a Block (None when nothing had arrived).
    raw: Any = None
    block: Any = None

    def __init__(self, message: Optional[str] = None, code: Optional[int] = None) -> None:
        if code is not None:
            self.code = code
        self.message = message or self.description
        super().__init__(self.message)


class LibraryNotFound(CalyraError, ImportError):
    """libcycore or libcybciconnect could not be found or loaded."""

    description = "a Calyra library cannot be loaded"


class ConnectionError(CalyraError, builtins.ConnectionError):  # noqa: A001 (mirrors the C name)
    code: Optional[int] = 1
    description = "no connection, or a Bluetooth operation failed"


class UnsupportedDevice(CalyraError):
    code = 2
    description = "the headset or its firmware is not supported"


class UnsupportedSampleRate(CalyraError, ValueError):
    code = 3
    description = "the connected model does not accept this sample rate"


class BluetoothDisabled(CalyraError):
    code = 4
    description = "Bluetooth is switched off or blocked"


class AdapterNotFound(CalyraError):
    code = 5
    description = "no Bluetooth adapter"


class AdapterIndexNotFound(CalyraError):
    code = 6
    description = "the configured adapter index names no adapter"


class PreconditionFailed(CalyraError):
    code = 7
    description = "the operation cannot start in the present state"


class UpdateFailed(CalyraError):
    code = 8
    description = "the headset did not confirm the firmware update"


class UpdateException(CalyraError):
    code = 9
    description = "the firmware update stopped on an error"


class NotStreaming(CalyraError):
    code = 10
    description = "the operation needs a running stream"


class DeviceNotFound(CalyraError, LookupError):
    code = 11
    description = "no headset with this name"


class NotInitialized(CalyraError):
    code = 13
    description = "the library is not initialised"


class LinkLost(ConnectionError):
    """The radio link to the headset dropped while it was in use."""

    code: Optional[int] = None
    description = "the link to the headset was lost"


class BufferOverrun(CalyraError):
    """Samples were dropped because the reader did not keep up; `dropped`
    counts them (channel-independent samples, oldest first)."""

    description = "the receive buffer overflowed"

    def __init__(self, dropped: int) -> None:
        self.dropped = dropped
        super().__init__(f"{dropped} samples dropped: the receive buffer overflowed "
                         "(read more often or raise buffer_seconds)")


class BufferOverrunWarning(UserWarning):
    """Issued instead of BufferOverrun when a headset is set to warn."""


class StreamTimeout(CalyraError, TimeoutError):
    """No sample arrived within the timeout."""

    description = "no sample arrived in time"


class StreamStalled(StreamTimeout):
    """A running stream delivered no sample for the headset's stall_timeout.
    `seconds` is how long it has been quiet; `notifications` and
    `undecodable` count what the library received meanwhile (None when the
    library cannot tell)."""

    description = "the stream stalled"
    seconds: float = 0.0
    notifications: Optional[int] = None
    undecodable: Optional[int] = None


_BY_CODE = {cls.code: cls for cls in (
    ConnectionError, UnsupportedDevice, UnsupportedSampleRate, BluetoothDisabled,
    AdapterNotFound, AdapterIndexNotFound, PreconditionFailed, UpdateFailed,
    UpdateException, NotStreaming, DeviceNotFound, NotInitialized)}


_CODE_NAMES = {cls.code: "CY_" + _snake for cls, _snake in (
    (ConnectionError, "CONNECTION_ERROR"), (UnsupportedDevice, "UNSUPPORTED_DEVICE"),
    (UnsupportedSampleRate, "UNSUPPORTED_SAMPLE_RATE"), (BluetoothDisabled, "BLUETOOTH_DISABLED"),
    (AdapterNotFound, "ADAPTER_NOT_FOUND"), (AdapterIndexNotFound, "ADAPTER_INDEX_NOT_FOUND"),
    (PreconditionFailed, "PRECONDITION_FAILED"), (UpdateFailed, "UPDATE_FAILED"),
    (UpdateException, "UPDATE_EXCEPTION"), (NotStreaming, "NOT_STREAMING"),
    (DeviceNotFound, "DEVICE_NOT_FOUND"), (NotInitialized, "NOT_INITIALIZED"))}


def library_text() -> str:
    """libcycore's sentence for this thread's last failed call ("" when none)."""
    from . import _capi  # here: _capi loads the libraries, which raise errors of this module
    return _capi.last_error_text()


def error_for(code: int, context: Optional[str] = None,
              detail: Optional[str] = None) -> CalyraError:
    """The exception for a non-zero result code: `context` (what was being
    done), the code's description, then the library's own sentence for the
    case (`detail`, by default read now: call this on the thread that made
    the failing call, before any other call into the library)."""
    cls = _BY_CODE.get(code, CalyraError)
    text = cls.description if cls is not CalyraError else f"unknown result code {code}"
    name = _CODE_NAMES.get(code, str(code))
    message = f"{context}: {text} ({name})" if context else f"{text} ({name})"
    if detail is None:
        detail = library_text()
    if detail:
        message += f": {detail}"
    return cls(message, code=code)


def check(code: int, context: Optional[str] = None) -> None:
    """Raises the mapped exception unless `code` is CY_OK."""
    if code != 0:
        raise error_for(code, context)
