// Which BLE backend the library uses, and when the choice is made or undone.
// The choice sits above the BLE layer: it knows every backend (BlueZ, the
// virtual headsets, none), which the layer itself never does.
#pragma once

#include "ble/backend.h"

namespace calyra::core::ble {

// cy_core_init: the backend named by CYCORE_BLE_BACKEND ("bluez", "virtual",
// "none"; unset means bluez when org.bluez answers on the system bus, else
// none, which behaves as a machine without an adapter); the virtual headsets
// when they were configured from code.
void select_backend_from_environment();
// cy_virtual_configure: the virtual headsets of the code settings, at once.
void use_virtual_backend();
// cy_virtual_reset: the choice of select_backend_from_environment() without
// a bus round trip. Virtual (from code or CYCORE_BLE_BACKEND=virtual) and
// none are installed at once; a choice that needs the system bus (bluez, or
// unset) leaves no adapter until the next current_backend() or cy_core_init
// makes it. Blocks only on a short lock.
void reselect_backend_from_environment();
// cy_core_close: a backend holding a bus connection is closed (replaced by
// none), as is a pending choice; the virtual one stays.
void release_backend();

}  // namespace calyra::core::ble
