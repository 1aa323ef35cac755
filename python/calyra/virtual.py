"""Virtual headsets: observe and disturb them from tests and demos.

calyra.use_virtual_headsets() selects them; the functions here name a
headset by its advertised name and need the virtual backend in use.
"""

import ctypes
from dataclasses import dataclass

from . import _capi, _library
from .errors import check


@dataclass(frozen=True)
class Stats:
    connected: bool
    streaming: bool
    packets_sent: int
    packets_lost: int
    ota_image_bytes: int
    ota_completed: bool


def stats(name: str) -> Stats:
    """What the virtual headset `name` has seen and done."""
    s = _capi.VirtualStats()
    check(_library.lib().cy_virtual_get_stats(name.encode(), ctypes.byref(s)),
          f"virtual headset {name!r}")
    return Stats(bool(s.connected), bool(s.streaming), s.packets_sent, s.packets_lost,
                 s.ota_image_bytes, bool(s.ota_completed))


def drop_link(name: str) -> None:
    """Drops the headset's radio link as if it went out of range."""
    check(_library.lib().cy_virtual_drop_link(name.encode()), f"drop the link of {name!r}")


def drop_link_for(name: str, down_ms: int) -> None:
    """Drops the headset's link and keeps it out of reach for `down_ms`
    milliseconds (it then connects again as usual)."""
    check(_library.lib().cy_virtual_drop_link_for(name.encode(), int(down_ms)),
          f"drop the link of {name!r}")


def trigger(name: str) -> None:
    """Fires the headset's trigger input: +300 uV on E1 from the first sample
    it takes now, for 10 samples."""
    check(_library.lib().cy_virtual_trigger(name.encode()), f"trigger {name!r}")


def set_battery(name: str, level: int, charging: bool = False) -> None:
    """Sets the headset's battery level (0..100); a connected host hears of it."""
    check(_library.lib().cy_virtual_set_battery(name.encode(), int(level), bool(charging)),
          f"battery of {name!r}")


def reset() -> None:
    """Forgets use_virtual_headsets(): the backend follows the environment again."""
    _library.lib().cy_virtual_reset()
    _library._virtual = False


def config_record(name: str) -> bytes:
    """The last configuration record the headset received, as bytes (empty
    before the first upload)."""
    cy = _library.lib()
    size = cy.cy_virtual_get_config_record(name.encode(), None, 0)
    record = (ctypes.c_uint8 * max(size, 1))()
    size = cy.cy_virtual_get_config_record(name.encode(), record, size)
    return bytes(record[:size])
