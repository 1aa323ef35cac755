// Printing of device records shared by info, battery and charging.
#pragma once

#include <cycore.h>
#include <cycore/eeg_manager.h>

#include <ostream>
#include <string>

namespace calyra::commands {

// "  Label           value" lines with aligned values.
void print_field(std::ostream& out, const std::string& label, const std::string& value);

void print_full_battery(std::ostream& out, const cy_full_battery_info& info);
void print_charging(std::ostream& out, const cy_charging_settings& settings);

// Reads the full battery record from the headset; throws command_failure.
cy_full_battery_info read_full_battery(cy_eeg_manager* manager);

}  // namespace calyra::commands
