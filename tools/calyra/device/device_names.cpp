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

std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
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

std::optional<seen_headset> match_headset(const std::vector<seen_headset>& seen, const std::string& wanted) {
  for (const seen_headset& h : seen) {
    if (h.name == wanted) return h;
  }
  const std::string key = lower(wanted);
  for (const seen_headset& h : seen) {
    if (lower(h.name) == key) return h;
  }
  for (const seen_headset& h : seen) {
    if (lower(h.address) == key) return h;
  }
  return std::nullopt;
}

std::optional<std::string> nearest_name(const std::vector<seen_headset>& seen, const std::string& wanted) {
  const std::string key = lower(wanted);
  std::optional<std::string> best;
  std::size_t best_distance = 0;
  for (const seen_headset& h : seen) {
    const std::size_t d = edit_distance(lower(h.name), key);
    if (!best || d < best_distance) {
      best = h.name;
      best_distance = d;
    }
  }
  // More than a third of the name changed is not a typo.
  if (best && best_distance * 3 > std::max<std::size_t>(key.size(), 3)) return std::nullopt;
  return best;
}

}  // namespace calyra::device
