// The device scan: status check, adapter choice, a 5-second scan, and the
// table of headsets whose names match the naming pattern.
#include <algorithm>
#include <ostream>
#include <string_view>
#include <vector>

#include "ble/adapter.h"
#include "ble/ble_error.h"
#include "cycore/scan.h"
#include "scan/device_scan.h"
#include "runtime/c_boundary.h"
#include "runtime/error.h"
#include "runtime/logger.h"
#include "scan/bluetooth_status.h"
#include "scan/scan_table.h"
#include "library/state.h"

namespace calyra::core {
namespace {

constexpr int scan_duration_ms = 5000;

// Whole-name match of "CY [A-Z]+ [0-9]*": "CY", a blank, one or more capital
// letters, a blank, zero or more digits. Written out because std::regex costs
// a compile per process and warns under the sanitizer builds of GCC 12.
bool is_headset_name(std::string_view name) {
  constexpr std::string_view prefix = "CY ";
  if (name.substr(0, prefix.size()) != prefix) return false;
  std::size_t i = prefix.size();
  const std::size_t letters = i;
  while (i < name.size() && name[i] >= 'A' && name[i] <= 'Z') ++i;
  if (i == letters || i == name.size() || name[i] != ' ') return false;
  for (++i; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

void add_matches(std::vector<ble::Peripheral>& peripherals) {
  for (ble::Peripheral& peripheral : peripherals) {
    const std::string name = peripheral.identifier();
    if (!is_headset_name(name)) continue;
    // A full table drops later matches instead of overrunning it.
    scan_table::append(name, peripheral.address());
  }
}

}  // namespace

error run_scan(cy_scan_entry** devices, std::uint64_t* count) {
  if (bluetooth::current_status() != bluetooth::enabled) {
    logger::log_text(log_level::ERROR, "Bluetooth not enabled");
    return fail(error::BLUETOOTH_DISABLED,
                "cy_core_scan: Bluetooth is switched off or blocked (switch it on, e.g. `rfkill unblock "
                "bluetooth` and `bluetoothctl power on`)");
  }
  logger::log_text(log_level::INFO, "Bluetooth is enabled");

  std::vector<ble::Adapter> adapters = ble::Adapter::get_adapters();
  if (adapters.empty()) {
    logger::log_text(log_level::ERROR, "Bluetooth adapter not found");
    return fail(error::ADAPTER_NOT_FOUND, "cy_core_scan: this machine has no Bluetooth adapter");
  }
  logger::log_text(log_level::INFO, "Bluetooth adapter found");
  const unsigned index = current_config().adapter_index;
  if (adapters.size() <= index) {
    logger::log(log_level::ERROR, [index](std::ostream& out) {
      out << "Bluetooth adapter with index " << index << " not found.";
    });
    return fail(error::ADAPTER_INDEX_NOT_FOUND, [&](std::ostream& out) {
      out << "cy_core_scan: the configured adapter_index " << index << " names no adapter (this machine has "
          << adapters.size() << (adapters.size() == 1 ? " adapter, index 0" : " adapters, indexes 0 to ")
          << (adapters.size() == 1 ? "" : std::to_string(adapters.size() - 1)) << ")";
    });
  }

  scan_table::clear();
  ble::Adapter adapter = adapters[index];
  try {
    adapter.scan_for(scan_duration_ms);
    std::vector<ble::Peripheral> seen = adapter.scan_get_results();
    std::vector<ble::Peripheral> paired = adapter.get_paired_peripherals();
    add_matches(paired);
    add_matches(seen);
  } catch (const ble::adapter_off_error& e) {
    logger::log(log_level::ERROR, [&e](std::ostream& out) { out << e.what(); });
    return fail(error::BLUETOOTH_DISABLED,
                [&e](std::ostream& out) { out << "cy_core_scan: the adapter was switched off: " << e.what(); });
  } catch (const std::runtime_error& e) {
    logger::log(log_level::ERROR,
                [&e](std::ostream& out) { out << "Bluetooth scan failed: " << e.what(); });
    return fail(error::CONNECTION_ERROR,
                [&e](std::ostream& out) { out << "cy_core_scan: the Bluetooth scan failed: " << e.what(); });
  }

  *devices = scan_table::entries();
  *count = static_cast<std::uint64_t>(scan_table::found_device_count());
  if (*count == 0) logger::log_text(log_level::WARNING, "Calyra devices not found");
  return error::OK;
}

}  // namespace calyra::core
