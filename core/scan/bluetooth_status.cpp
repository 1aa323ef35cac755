#include "scan/bluetooth_status.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

#include "ble/backend.h"

namespace calyra::core::bluetooth {
namespace {

namespace fs = std::filesystem;

bool missing_or_empty(const fs::path& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  return ec || it == fs::directory_iterator();
}

std::string first_word(const fs::path& file) {
  std::ifstream in(file);
  std::string word;
  in >> word;
  return word;
}

// A value that cannot be read counts as a blocking switch.
int switch_value(const fs::path& file) {
  std::ifstream in(file);
  int value = 1;
  if (!(in >> value)) value = 1;
  return value;
}

}  // namespace

status read_status(const fs::path& sysfs_root) {
  if (missing_or_empty(sysfs_root / "bluetooth")) return no_hardware;

  std::error_code ec;
  fs::directory_iterator it(sysfs_root / "rfkill", ec);
  if (ec) return enabled;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return enabled;
    const fs::path entry = it->path();
    if (first_word(entry / "type") != "bluetooth") continue;
    // Only the first Bluetooth switch decides.
    const bool soft = switch_value(entry / "soft") != 0;
    const bool hard = switch_value(entry / "hard") != 0;
    return soft || hard ? blocked : enabled;
  }
  return enabled;
}

status current_status() {
  if (const char* root = std::getenv("CYCORE_SYSFS_ROOT"); root != nullptr && *root != '\0')
    return read_status(root);
  if (ble::current_backend_kind() == ble::backend_kind::virtual_headsets) return enabled;
  return read_status("/sys/class");
}

}  // namespace calyra::core::bluetooth
