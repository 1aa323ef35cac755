#include "scan/headset_lookup.h"

#include <algorithm>
#include <string>
#include <vector>

namespace calyra::core::headset_lookup {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

std::size_t edit_distance_ignoring_case(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t change = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + change});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string_view text(const char* s) { return s != nullptr ? std::string_view(s) : std::string_view(); }

}  // namespace

std::optional<std::size_t> match(const cy_scan_entry* entries, std::size_t count, std::string_view wanted) {
  const auto first = [&](auto&& matches) -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < count; ++i) {
      if (matches(entries[i])) return i;
    }
    return std::nullopt;
  };
  if (auto i = first([&](const cy_scan_entry& e) { return text(e.name) == wanted; })) return i;
  if (auto i = first([&](const cy_scan_entry& e) { return equal_ignoring_case(text(e.name), wanted); })) return i;
  return first([&](const cy_scan_entry& e) { return equal_ignoring_case(text(e.address), wanted); });
}

std::optional<std::size_t> nearest(const cy_scan_entry* entries, std::size_t count, std::string_view wanted) {
  std::optional<std::size_t> best;
  std::size_t best_distance = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t d = edit_distance_ignoring_case(text(entries[i].name), wanted);
    if (!best || d < best_distance) {
      best = i;
      best_distance = d;
    }
  }
  // More than a third of the name changed is not a typo.
  if (best && best_distance * 3 > std::max<std::size_t>(wanted.size(), 3)) return std::nullopt;
  return best;
}

}  // namespace calyra::core::headset_lookup
