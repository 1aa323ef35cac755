// Splits a log line "[YYYY-MM-DD HH:MM:SS.mmm] [LEVEL] [#TID] body" into its
// parts, insisting on every byte of the prefix. (Hand-written: std::regex
// trips a false maybe-uninitialized warning of GCC 12 in sanitizer builds.)
#pragma once

#include <cctype>
#include <optional>
#include <string>
#include <string_view>

namespace calyra::core::testing {

struct parsed_line {
  std::string date_time;  // "YYYY-MM-DD HH:MM:SS"
  std::string millis;     // "mmm"
  std::string level;
  std::string thread;     // decimal digits
  std::string body;
};

// Both prefixes on. Empty when any byte of the prefix is out of shape.
inline std::optional<parsed_line> parse_full_line(std::string_view line) {
  // '9' marks a digit, anything else must match literally.
  constexpr std::string_view stamp_shape = "[9999-99-99 99:99:99.999] [";
  if (line.size() < stamp_shape.size()) return std::nullopt;
  for (std::size_t i = 0; i < stamp_shape.size(); ++i) {
    const bool ok = stamp_shape[i] == '9' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                          : line[i] == stamp_shape[i];
    if (!ok) return std::nullopt;
  }
  parsed_line parsed;
  parsed.date_time = std::string(line.substr(1, 19));
  parsed.millis = std::string(line.substr(21, 3));
  line.remove_prefix(stamp_shape.size());

  const std::size_t level_end = line.find("] [#");
  if (level_end == std::string_view::npos || level_end == 0) return std::nullopt;
  parsed.level = std::string(line.substr(0, level_end));
  line.remove_prefix(level_end + 4);

  std::size_t digits = 0;
  while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
  if (digits == 0 || line.substr(digits, 2) != "] ") return std::nullopt;
  parsed.thread = std::string(line.substr(0, digits));
  parsed.body = std::string(line.substr(digits + 2));
  return parsed;
}

}  // namespace calyra::core::testing
