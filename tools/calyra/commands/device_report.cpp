#include "commands/device_report.h"

#include <iomanip>
#include <sstream>

#include "app/failure.h"

namespace calyra::commands {
namespace {

std::string charge_state_text(std::int32_t state) {
  switch (state) {
    case CY_CHARGE_STATE_CHARGING: return "charging";
    case CY_CHARGE_STATE_DISCHARGING_ACTIVE: return "discharging (active)";
    case CY_CHARGE_STATE_DISCHARGING_INACTIVE: return "discharging (inactive)";
    default: return "unknown";
  }
}

std::string number(double v) {
  std::ostringstream text;
  text << v;
  return text.str();
}

void store_record(const cy_full_battery_info* info, void* user_data) {
  *static_cast<cy_full_battery_info*>(user_data) = *info;
}

}  // namespace

void print_field(std::ostream& out, const std::string& label, const std::string& value) {
  out << "  " << std::left << std::setw(18) << label << value << '\n';
}

void print_full_battery(std::ostream& out, const cy_full_battery_info& info) {
  out << "Battery\n";
  print_field(out, "Level", std::to_string(info.level));
  print_field(out, "Charger", info.is_charger_connected ? "connected" : "not connected");
  print_field(out, "Charge state", charge_state_text(info.charge_state) + " (" +
                                       std::to_string(info.charge_state) + ")");
  print_field(out, "Voltage", number(info.voltage));
  print_field(out, "Current", number(info.current));
  print_field(out, "Health", number(info.health));
  print_field(out, "Power state bit 7", std::to_string(info.power_state_bit7));
}

void print_charging(std::ostream& out, const cy_charging_settings& settings) {
  out << "Charging settings\n";
  print_field(out, "Flag", settings.flag ? "1 (on)" : "0 (off)");
  print_field(out, "Sleep timeout", std::to_string(settings.sleep_timeout));
}

cy_full_battery_info read_full_battery(cy_eeg_manager* manager) {
  cy_full_battery_info info{};
  const cy_error result = cy_eeg_manager_get_full_battery_info(manager, store_record, &info);
  if (result != CY_OK) throw app::command_failure::from_code(result, "reading the battery");
  return info;
}

}  // namespace calyra::commands
