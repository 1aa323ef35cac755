// The reference reading of a byte stream as lines, for the line reader
// targets: lines end at '\n', a '\r' just before the '\n' is not part of the
// line, and a last line without a newline is kept as it is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace calyra::fuzz {

inline std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const auto newline = text.find('\n');
    if (newline == std::string_view::npos) {
      lines.emplace_back(text);
      break;
    }
    std::string_view line = text.substr(0, newline);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    text.remove_prefix(newline + 1);
  }
  return lines;
}

}  // namespace calyra::fuzz
