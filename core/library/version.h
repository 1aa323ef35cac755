// The library version and the conversions between version records and text.
#pragma once

#include <string>

#include "cycore/types.h"

namespace calyra::core {

// The version of libcycore, 3.6.1.
inline constexpr cy_version library_version{3, 6, 1};

// "major.minor.patch" in decimal without leading zeros: {10, 0, 255} gives "10.0.255".
std::string get_version_string(const cy_version& version);

// Parses up to three '.'-separated pieces with std::stoi (leading blanks and a
// sign accepted, trailing text after the digits ignored) and keeps the low 8
// bits of each. Text after the third piece is ignored. With fewer than three
// pieces the last piece read repeats: "1.2" reads as 1.2.2, "3" as 3.3.3.
// Throws std::invalid_argument ("stoi") for a piece without a leading number,
// including empty text, and std::out_of_range outside the int range.
cy_version version_from_string(const std::string& text);

// Same major and minor number; patch ignored.
constexpr bool is_compatible(const cy_version& a, const cy_version& b) {
  return a.major == b.major && a.minor == b.minor;
}

}  // namespace calyra::core
