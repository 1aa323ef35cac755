"""Identity, capabilities and battery of a connected headset."""

import ctypes
from collections import namedtuple
from dataclasses import dataclass
from typing import Any

from . import _capi

Battery = namedtuple("Battery", "level charger_connected charging")
Battery.__doc__ = "Battery state as the headset last reported it."


@dataclass(frozen=True)
class Capabilities:
    accelerometer: bool
    gyroscope: bool
    bipolar: bool
    firmware_update: bool


@dataclass(frozen=True)
class DeviceInfo:
    """Identity of a connected headset. `compatible` is False when the
    library does not support its hardware or firmware revision (kept
    connected only with allow_unsupported=True)."""

    name: str
    model: str
    model_code: int
    hardware: str
    firmware: str
    serial: int
    electrode_count: int
    capabilities: Capabilities
    compatible: bool


def _version_text(v: Any) -> str:
    return f"{v.major}.{v.minor}.{v.patch}"


def model_name(cy: Any, code: int) -> str:
    """The library's name of model `code`; "unknown model" for a code it does
    not know, or when the loaded library cannot tell."""
    if not _capi.has("cy_core_device_model_name"):
        return "unknown model"
    return str(cy.cy_core_device_model_name(code).decode())


def read_device_info(cy: Any, manager: int, name: str, compatible: bool) -> "DeviceInfo":
    """The DeviceInfo of a connected manager, with its model's capabilities."""
    info = cy.cy_eeg_manager_get_device_info(manager).contents
    features = cy.cy_core_device_features_get(ctypes.byref(info))
    caps = Capabilities(
        accelerometer=bool(cy.cy_core_device_features_has_accel(features)),
        gyroscope=bool(cy.cy_core_device_features_has_gyro(features)),
        bipolar=bool(cy.cy_core_device_features_is_bipolar(features)),
        firmware_update=bool(cy.cy_core_device_features_supports_ota(features)))
    return DeviceInfo(
        name=name, model=model_name(cy, info.id), model_code=info.id,
        hardware=_version_text(info.hardware_version),
        firmware=_version_text(info.firmware_version), serial=info.serial_number,
        electrode_count=cy.cy_core_device_features_electrode_count(features),
        capabilities=caps, compatible=compatible)
