// What the simulated headset answers when a GATT operation does not succeed.
// Each host maps it to its own error: the in-process backend to ble_error
// subclasses, the fake BlueZ to the D-Bus errors BlueZ sends.
#pragma once

#include <stdexcept>
#include <string>

namespace calyra::simulator {

struct gatt_error : std::runtime_error {
  enum class kind {
    not_connected,  // no link
    failing_role,   // the device is configured to fail this characteristic
    rejected,       // the characteristic does not allow it, or the value is refused
  };
  gatt_error(kind k, const std::string& message) : std::runtime_error(message), reason(k) {}
  kind reason;
};

}  // namespace calyra::simulator
