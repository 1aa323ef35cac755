// Finding the headset a user means: advertised names compared without regard
// to case, addresses, and the nearest name as a suggestion, by the library's
// rules (cy_core_find_headset).
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

struct headset_lookup {
  std::optional<std::string> match;    // the advertised name `wanted` means
  std::optional<std::string> nearest;  // without a match: a likely typo's name
  std::string reason;                  // without a match: the library's sentence
};

// Which headset of the last scan `wanted` names, by the library's rules
// (cy_core_find_headset: exact name, any case, address; the nearest name).
headset_lookup find_headset(const std::string& wanted);

}  // namespace calyra::device
