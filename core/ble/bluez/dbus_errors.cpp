#include "ble/bluez/dbus_errors.h"

#include <sdbus-c++/Error.h>

#include "ble/ble_error.h"

namespace calyra::core::ble::bluez {

failure_kind classify(std::string_view name, std::string_view message) {
  // BlueZ 5.66 reports a read or write without a link as a generic failure
  // whose message is the only hint.
  if (name == "org.bluez.Error.NotConnected" ||
      (name == "org.bluez.Error.Failed" && message.find("Not connected") != std::string_view::npos))
    return failure_kind::not_connected;
  if (name == "org.freedesktop.DBus.Error.UnknownObject" ||
      name == "org.freedesktop.DBus.Error.UnknownMethod" ||
      name == "org.freedesktop.DBus.Error.UnknownInterface" ||
      name == "org.bluez.Error.DoesNotExist")
    return failure_kind::not_found;
  return failure_kind::operation_failed;
}

void throw_ble_error(const std::string& what, const sdbus::Error& error) {
  const std::string text = what + ": " + error.getName() + ": " + error.getMessage();
  switch (classify(error.getName(), error.getMessage())) {
    case failure_kind::not_connected:
      throw not_connected_error(text);
    case failure_kind::not_found:
      throw not_found_error(text);
    case failure_kind::operation_failed:
      break;
  }
  throw operation_failed_error(text);
}

bool is_in_progress(const sdbus::Error& error) {
  return error.getName() == "org.bluez.Error.InProgress";
}

bool is_not_ready(const sdbus::Error& error) { return error.getName() == "org.bluez.Error.NotReady"; }

bool is_no_discovery_started(const sdbus::Error& error) {
  return error.getMessage().find("No discovery started") != std::string::npos;
}

}  // namespace calyra::core::ble::bluez
