"""calyra: Calyra EEG headsets and signal processing from Python.

    import calyra
    calyra.use_virtual_headsets()            # no hardware needed
    with calyra.Headset("CY KESTREL 5") as h:
        raw = calyra.record(h, seconds=10)   # an mne.io.RawArray

The package drives libcycore and libcybciconnect through their C APIs with
ctypes; see calyra._loader for where the libraries are looked for.
"""

from . import signal, virtual
from ._library import (ScanResult, bluetooth_status, configure, get_config, scan,
                       use_virtual_headsets, version)
from ._recording import record
from .block import Block
from .errors import (AdapterIndexNotFound, AdapterNotFound, BluetoothDisabled, BufferOverrun,
                     BufferOverrunWarning, CalyraError, ConnectionError, DeviceNotFound,
                     LibraryNotFound, LinkLost, NotInitialized, NotStreaming,
                     PreconditionFailed, StreamStalled, StreamTimeout, UnsupportedDevice,
                     UnsupportedSampleRate, UpdateException, UpdateFailed)
from ._settings import Channel
from .device import Battery, Capabilities, DeviceInfo
from .headset import Headset

__version__ = "3.6.1"

__all__ = [
    "signal", "virtual", "ScanResult", "bluetooth_status", "configure", "get_config", "scan",
    "use_virtual_headsets", "version", "record", "Block", "Headset", "Battery",
    "Capabilities", "Channel", "DeviceInfo", "AdapterIndexNotFound", "AdapterNotFound",
    "BluetoothDisabled", "BufferOverrun", "BufferOverrunWarning", "CalyraError",
    "ConnectionError", "DeviceNotFound", "LibraryNotFound", "LinkLost", "NotInitialized",
    "NotStreaming", "PreconditionFailed", "StreamStalled", "StreamTimeout", "UnsupportedDevice",
    "UnsupportedSampleRate", "UpdateException", "UpdateFailed",
]
