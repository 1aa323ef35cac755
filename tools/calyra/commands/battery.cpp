#include <iostream>

#include "library/core_session.h"
#include "app/failure.h"
#include "device/headset.h"
#include "commands/commands.h"
#include "commands/device_report.h"

namespace calyra::commands {

int run_battery(const cli::global_options& global, const std::string& device) {
  library::core_session core(global, {});
  device::headset h(device, device::firmware_policy::accept_incompatible);
  print_full_battery(std::cout, read_full_battery(h.handle()));
  std::cout << std::flush;
  return 0;
}

int run_charging(const cli::global_options& global, const cli::charging_options& options) {
  library::core_session core(global, {});
  device::headset h(options.device, device::firmware_policy::accept_incompatible);
  if (options.timeout || options.flag) {
    // Change only what was asked for; the other setting keeps its value.
    cy_charging_settings settings = cy_eeg_manager_get_charging_settings(h.handle());
    if (options.timeout) settings.sleep_timeout = static_cast<std::uint8_t>(*options.timeout);
    if (options.flag) settings.flag = *options.flag != 0;
    if (!cy_eeg_manager_set_charging_settings(h.handle(), settings)) {
      throw app::command_failure::from_code(CY_CONNECTION_ERROR, "writing the charging settings");
    }
  }
  print_charging(std::cout, cy_eeg_manager_get_charging_settings(h.handle()));
  std::cout << std::flush;
  return 0;
}

}  // namespace calyra::commands
