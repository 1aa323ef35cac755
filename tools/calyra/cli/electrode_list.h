// Parsing of electrode selections such as "1,3,5-8".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace calyra::cli {

// Electrode numbers are 1-based, as printed on the headset. Returns the
// selection ascending and without repeats. Throws std::invalid_argument with
// a message naming the offending piece for empty pieces, non-numbers, 0,
// numbers above 255 and descending ranges.
std::vector<unsigned> parse_electrode_list(std::string_view text);

}  // namespace calyra::cli
