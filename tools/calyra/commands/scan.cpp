#include <cycore.h>
#include <cycore/scan.h>

#include <iomanip>
#include <iostream>

#include "app/core_session.h"
#include "app/failure.h"
#include "commands/commands.h"

namespace calyra::commands {

int run_scan(const cli::global_options& global) {
  app::core_session core(global, {});
  std::cout << "Scanning for headsets..." << std::endl;
  cy_scan_entry* devices = nullptr;
  std::uint64_t count = 0;
  const cy_error result = cy_core_scan(&devices, &count);
  if (result != CY_OK) throw app::command_failure::from_code(result, "scanning");
  if (count == 0) {
    std::cout << "No headsets found." << std::endl;
    return 0;
  }
  std::cout << std::left << std::setw(CY_SCAN_NAME_SIZE - 20) << "NAME" << "ADDRESS\n";
  for (std::uint64_t i = 0; i < count; ++i) {
    std::cout << std::left << std::setw(CY_SCAN_NAME_SIZE - 20) << devices[i].name
              << devices[i].address << '\n';
  }
  std::cout << std::flush;
  return 0;
}

}  // namespace calyra::commands
