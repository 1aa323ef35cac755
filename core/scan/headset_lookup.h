// Which seen headset a name typed by a user means, and the nearest name when
// none does. The one set of rules for every host (cy_core_find_headset).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "cycore/scan.h"

namespace calyra::core::headset_lookup {

// The entry `wanted` names: an exact name first, then a name equal but for
// ASCII case, then an address in any case; the first entry of each kind wins.
// nullopt when none matches.
std::optional<std::size_t> match(const cy_scan_entry* entries, std::size_t count, std::string_view wanted);

// The entry whose name is closest to `wanted` (edit distance, ignoring ASCII
// case; the first of equals) when it is close enough to be a typo: at most a
// third of the longer of `wanted` and 3 characters changed. nullopt otherwise.
std::optional<std::size_t> nearest(const cy_scan_entry* entries, std::size_t count, std::string_view wanted);

}  // namespace calyra::core::headset_lookup
