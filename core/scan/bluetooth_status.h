// Whether the host's Bluetooth is present and not blocked, read from the
// kernel's sysfs classes "bluetooth" and "rfkill".
#pragma once

#include <filesystem>

namespace calyra::core::bluetooth {

enum status : int {
  no_hardware = 0,  // the bluetooth class is missing or empty
  blocked = 1,      // a soft or hard radio switch blocks it
  enabled = 2,
};

// Reads the status under `sysfs_root` (normally "/sys/class"). Never throws:
// unreadable switch values count as blocked, and an rfkill class that cannot
// be listed counts as "no switch", hence enabled.
status read_status(const std::filesystem::path& sysfs_root);

// The status cy_core_scan uses: under CYCORE_SYSFS_ROOT when that variable is
// set; otherwise enabled for the virtual backend (its radio is simulated) and
// read under "/sys/class" for every other backend.
status current_status();

}  // namespace calyra::core::bluetooth
