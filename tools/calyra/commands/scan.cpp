#include <cycore.h>
#include <cycore/scan.h>

#include <iomanip>
#include <iostream>

#include "library/core_session.h"
#include "device/device_names.h"
#include "app/failure.h"
#include "commands/commands.h"

namespace calyra::commands {

int run_scan(const cli::global_options& global) {
  library::core_session core(global, {});
  std::cout << "Scanning for headsets..." << std::endl;
  const std::vector<device::seen_headset> seen = device::scan_headsets();
  if (seen.empty()) {
    std::cout << "No headsets found." << std::endl;
    return 0;
  }
  std::cout << std::left << std::setw(CY_SCAN_NAME_SIZE - 20) << "NAME" << "ADDRESS\n";
  for (const device::seen_headset& h : seen) {
    std::cout << std::left << std::setw(CY_SCAN_NAME_SIZE - 20) << h.name << h.address << '\n';
  }
  std::cout << std::flush;
  return 0;
}

}  // namespace calyra::commands
