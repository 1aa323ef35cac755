// Finding the headset a user means: advertised names compared without regard
// to case, addresses, and the nearest name as a suggestion.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace calyra::device {

struct seen_headset {
  std::string name;
  std::string address;
};

// Scans (blocks for the library's scan time) and returns each headset once,
// paired or not, in the order first seen. Throws command_failure.
std::vector<seen_headset> scan_headsets();

// The headset `wanted` names: an exact name, then a name equal but for case,
// then an address (case-insensitive). nullopt if none.
std::optional<seen_headset> match_headset(const std::vector<seen_headset>& seen, const std::string& wanted);

// The seen name closest to `wanted` (edit distance, ignoring case) when it
// is close enough to be a likely typo; nullopt otherwise.
std::optional<std::string> nearest_name(const std::vector<seen_headset>& seen, const std::string& wanted);

}  // namespace calyra::device
