// The BlueZ backend: real headsets through bluetoothd over the system bus.
#pragma once

#include <memory>

#include "ble/backend.h"

namespace calyra::core::ble::bluez {

// Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set). Returns null
// when there is no system bus, or when `require_daemon` is set and org.bluez
// does not answer.
std::shared_ptr<Backend> create_backend(bool require_daemon);

}  // namespace calyra::core::ble::bluez
