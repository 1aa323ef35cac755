// C API: battery state and charging settings.
#include "cycore/battery.h"
#include "manager/c_api_support.h"
#include "runtime/c_boundary.h"

using calyra::core::from_handle;
using calyra::core::error;
using calyra::core::guard_c_call;

extern "C" {

CYCORE_API cy_battery_info cy_eeg_manager_get_battery_info(cy_eeg_manager* manager) {
  cy_battery_info info{};
  guard_c_call("cy_eeg_manager_get_battery_info", error::OK, [&] {
    info = from_handle(manager).get_battery_info();
    return error::OK;
  });
  return info;
}

CYCORE_API cy_error cy_eeg_manager_get_full_battery_info(cy_eeg_manager* manager,
                                                         cy_full_battery_callback callback,
                                                         void* user_data) {
  return calyra::core::to_code(
      guard_c_call("cy_eeg_manager_get_full_battery_info", error::CONNECTION_ERROR,
                   [&] { return from_handle(manager).get_full_battery_info(callback, user_data); }));
}

CYCORE_API cy_charging_settings cy_eeg_manager_get_charging_settings(cy_eeg_manager* manager) {
  cy_charging_settings settings{false, 0};
  guard_c_call("cy_eeg_manager_get_charging_settings", error::OK, [&] {
    settings = from_handle(manager).get_charging_settings();
    return error::OK;
  });
  return settings;
}

CYCORE_API bool cy_eeg_manager_set_charging_settings(cy_eeg_manager* manager,
                                                     cy_charging_settings settings) {
  bool written = false;
  guard_c_call("cy_eeg_manager_set_charging_settings", error::OK, [&] {
    written = from_handle(manager).set_charging_settings(settings);
    return error::OK;
  });
  return written;
}

}  // extern "C"
