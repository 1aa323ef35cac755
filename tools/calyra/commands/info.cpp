#include <iostream>

#include "library/core_session.h"
#include "device/headset.h"
#include "commands/commands.h"
#include "commands/device_report.h"

namespace calyra::commands {
namespace {

const char* yes_no(bool v) { return v ? "yes" : "no"; }

}  // namespace

int run_info(const cli::global_options& global, const std::string& device) {
  library::core_session core(global, {});
  device::headset h(device, device::firmware_policy::accept_incompatible);
  const cy_device_info& info = h.info();
  const cy_device_features* f = h.features();

  // Read everything first, so a failure leaves no half-printed report.
  const cy_full_battery_info battery = read_full_battery(h.handle());
  const cy_charging_settings charging = cy_eeg_manager_get_charging_settings(h.handle());
  // The library answers a rate the model does not take with UNSUPPORTED_SAMPLE_RATE.
  std::string rates;
  const std::pair<cy_data_stream_rate, const char*> all_rates[] = {
      {CY_RATE_HZ_250, "250"}, {CY_RATE_HZ_500, "500"}, {CY_RATE_HZ_1000, "1000"}, {CY_RATE_HZ_2000, "2000"},
      {CY_RATE_HZ_4000, "4000"}, {CY_RATE_HZ_8000, "8000"}, {CY_RATE_HZ_16000, "16000"}};
  for (const auto& [code, text] : all_rates) {
    if (cy_eeg_manager_set_data_stream_rate(h.handle(), code) == CY_OK) rates += (rates.empty() ? "" : ", ") + std::string(text);
  }
  cy_eeg_manager_set_data_stream_rate(h.handle(), CY_RATE_HZ_250);

  std::ostream& out = std::cout;
  out << "Device\n";
  print_field(out, "Name", h.name());
  print_field(out, "Model", h.model_name() + " (code " + std::to_string(info.id) + ")");
  print_field(out, "Hardware", device::version_text(info.hardware_version));
  print_field(out, "Firmware", device::version_text(info.firmware_version));
  print_field(out, "Serial number", std::to_string(info.serial_number));
  print_field(out, "Compatible", h.compatible() ? "yes" : "no (needs hardware 2.0.x with firmware 3.6.x)");
  out << "Capabilities\n";
  print_field(out, "Electrodes", std::to_string(cy_core_device_features_electrode_count(f)));
  print_field(out, "Sample rates", rates.empty() ? "none" : rates + " Hz");
  print_field(out, "Accelerometer", yes_no(cy_core_device_features_has_accel(f)));
  print_field(out, "Gyroscope", yes_no(cy_core_device_features_has_gyro(f)));
  print_field(out, "Bipolar", yes_no(cy_core_device_features_is_bipolar(f)));
  print_field(out, "Firmware update", yes_no(cy_core_device_features_supports_ota(f)));
  print_full_battery(out, battery);
  print_charging(out, charging);
  out << std::flush;
  return 0;
}

}  // namespace calyra::commands
