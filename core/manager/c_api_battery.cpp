// C API: battery state and charging settings.
#include "cycore/battery.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/c_boundary.h"

using calyra::core::eeg_manager_implementation;
using calyra::core::error;
using calyra::core::guard_c_call;

namespace {

eeg_manager_implementation& manager_of(cy_eeg_manager* handle) {
  return *reinterpret_cast<eeg_manager_implementation*>(handle);
}

}  // namespace

extern "C" {

CYCORE_API cy_battery_info cy_eeg_manager_get_battery_info(cy_eeg_manager* manager) {
  cy_battery_info info{};
  guard_c_call("cy_eeg_manager_get_battery_info", error::OK, [&] {
    info = manager_of(manager).get_battery_info();
    return error::OK;
  });
  return info;
}

CYCORE_API cy_error cy_eeg_manager_get_full_battery_info(cy_eeg_manager* manager,
                                                         cy_full_battery_callback callback,
                                                         void* user_data) {
  return calyra::core::to_code(
      guard_c_call("cy_eeg_manager_get_full_battery_info", error::CONNECTION_ERROR,
                   [&] { return manager_of(manager).get_full_battery_info(callback, user_data); }));
}

CYCORE_API cy_charging_settings cy_eeg_manager_get_charging_settings(cy_eeg_manager* manager) {
  cy_charging_settings settings{false, 0};
  guard_c_call("cy_eeg_manager_get_charging_settings", error::OK, [&] {
    settings = manager_of(manager).get_charging_settings();
    return error::OK;
  });
  return settings;
}

CYCORE_API bool cy_eeg_manager_set_charging_settings(cy_eeg_manager* manager,
                                                     cy_charging_settings settings) {
  bool written = false;
  guard_c_call("cy_eeg_manager_set_charging_settings", error::OK, [&] {
    written = manager_of(manager).set_charging_settings(settings);
    return error::OK;
  });
  return written;
}

}  // extern "C"
