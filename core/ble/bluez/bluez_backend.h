// The BlueZ backend: real headsets through bluetoothd over the system bus.
#pragma once

#include <memory>
#include <string>

#include "ble/backend.h"

namespace calyra::core::ble::bluez {

// Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set). Returns null
// when there is no system bus, or when `require_daemon` is set and org.bluez
// does not answer; then `why_not` (when given) says which. Logs nothing.
std::shared_ptr<Backend> create_backend(bool require_daemon, std::string* why_not);

}  // namespace calyra::core::ble::bluez
