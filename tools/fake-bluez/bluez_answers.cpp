#include "bluez_answers.h"

namespace calyra::fake_bluez {

gatt_failure bluez_failure(const sim::gatt_error& error, gatt_operation operation) {
  switch (error.reason) {
    case sim::gatt_error::kind::not_connected: return {"org.bluez.Error.Failed", "Not connected"};
    case sim::gatt_error::kind::failing_role:
      return {"org.bluez.Error.Failed", "Operation failed with ATT error: 0x0e"};
    case sim::gatt_error::kind::rejected: break;
  }
  if (operation == gatt_operation::read)
    return {"org.bluez.Error.NotPermitted", std::string("Read not permitted: ") + error.what()};
  return {"org.bluez.Error.Failed",
          std::string("Operation failed with ATT error: 0x13 (") + error.what() + ")"};
}

}  // namespace calyra::fake_bluez
