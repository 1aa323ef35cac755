// The headset's two one-byte charging settings: sleep timeout and flag.
//
// A failed GATT read or write is reported as the zero record or false with an
// ERROR line: these operations are reached from C, where no exception may go.
#include <cstring>
#include <ostream>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {
namespace {

std::uint8_t first_byte(const ble::ByteArray& value) {
  return value.empty() ? 0 : static_cast<std::uint8_t>(value.front());
}

}  // namespace

cy_charging_settings eeg_manager_implementation::get_charging_settings() {
  if (!connected) {
    log_text(log_level::INFO, "Unable to get charging settings - no connection to device");
    return cy_charging_settings{false, 0};
  }
  cy_charging_settings settings{false, 0};
  const error result = handle_errors([&] {
    const ble::ByteArray timeout = read_characteristic(gatt::role::charging_setting_timeout);
    const ble::ByteArray flag = read_characteristic(gatt::role::charging_setting_flag);
    settings.flag = first_byte(flag) != 0;
    settings.sleep_timeout = first_byte(timeout);
    return error::OK;
  });
  return result == error::OK ? settings : cy_charging_settings{false, 0};
}

bool eeg_manager_implementation::set_charging_settings(cy_charging_settings settings) {
  if (!connected) {
    log_text(log_level::INFO, "Unable to set charging settings - no connection to device");
    return false;
  }
  std::uint8_t timeout = settings.sleep_timeout;
  if (timeout == 0) {
    log_text(log_level::INFO, "Sleep timeout must be greater than 0, setting to 1.");
    timeout = 1;
  }
  // The flag goes out as the byte the caller passed: a C caller may hand in
  // any non-zero value for true, and the headset reads any non-zero as true.
  std::uint8_t flag_byte = 0;
  static_assert(sizeof(settings.flag) == sizeof(flag_byte));
  std::memcpy(&flag_byte, &settings.flag, sizeof(flag_byte));
  const error result = handle_errors([&] {
    write_characteristic(gatt::role::charging_setting_timeout, {timeout});
    write_characteristic(gatt::role::charging_setting_flag, {flag_byte});
    return error::OK;
  });
  return result == error::OK;
}

}  // namespace calyra::core
