// Small text forms shared by calyra's file writers: tab-separated rows and
// UTC times as ISO 8601.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace calyra::text {

// The cells of one tab-separated line (one cell when it holds no tab).
std::vector<std::string> split_tabs(const std::string& line);

// `t` as YYYY-MM-DDThh:mm:ss.fffZ in UTC, with `fraction_digits` digits of
// the second (3: milliseconds, 6: microseconds).
std::string utc_iso_time(std::chrono::system_clock::time_point t, int fraction_digits);

}  // namespace calyra::text
