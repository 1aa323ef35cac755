#include "device/device_names.h"

#include <cycore.h>
#include <cycore/scan.h>

#include <algorithm>
#include <cctype>

#include "app/failure.h"

namespace calyra::device {

using app::command_failure;
namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

std::vector<seen_headset> scan_headsets() {
  cy_scan_entry* entries = nullptr;
  std::uint64_t count = 0;
  const cy_error result = cy_core_scan(&entries, &count);
  if (result != CY_OK) throw command_failure::from_code(result, "scanning");
  std::vector<seen_headset> seen;
  for (std::uint64_t i = 0; i < count; ++i) {
    seen_headset h{entries[i].name, entries[i].address};
    // A paired headset that also advertises is listed twice by the library.
    const bool known = std::any_of(seen.begin(), seen.end(),
                                   [&](const seen_headset& s) { return lower(s.address) == lower(h.address); });
    if (!known) seen.push_back(std::move(h));
  }
  return seen;
}

headset_lookup find_headset(const std::string& wanted) {
  const cy_scan_entry* entry = nullptr;
  const char* nearest = nullptr;
  headset_lookup found;
  if (cy_core_find_headset(wanted.c_str(), &entry, &nearest) == CY_OK) {
    found.match = entry->name;
    return found;
  }
  found.reason = app::library_reason();
  if (nearest != nullptr) found.nearest = nearest;
  return found;
}

}  // namespace calyra::device
