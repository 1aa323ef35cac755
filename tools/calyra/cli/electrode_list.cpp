#include "cli/electrode_list.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace calyra::cli {
namespace {

constexpr unsigned max_electrode = 255;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

unsigned parse_number(std::string_view piece, std::string_view whole) {
  piece = trim(piece);
  unsigned value = 0;
  const auto* end = piece.data() + piece.size();
  auto [ptr, ec] = std::from_chars(piece.data(), end, value);
  if (piece.empty() || ec != std::errc{} || ptr != end || value == 0 || value > max_electrode) {
    throw std::invalid_argument("bad electrode '" + std::string(piece) + "' in '" +
                                std::string(whole) + "' (electrodes are numbered from 1)");
  }
  return value;
}

}  // namespace

std::vector<unsigned> parse_electrode_list(std::string_view text) {
  std::vector<unsigned> result;
  std::string_view rest = text;
  while (true) {
    const auto comma = rest.find(',');
    const std::string_view piece = trim(rest.substr(0, comma));
    const auto dash = piece.find('-');
    if (dash == std::string_view::npos) {
      result.push_back(parse_number(piece, text));
    } else {
      const unsigned first = parse_number(piece.substr(0, dash), text);
      const unsigned last = parse_number(piece.substr(dash + 1), text);
      if (last < first) {
        throw std::invalid_argument("descending range '" + std::string(piece) + "' in '" +
                                    std::string(text) + "'");
      }
      for (unsigned e = first; e <= last; ++e) result.push_back(e);
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  std::sort(result.begin(), result.end());
  result.erase(std::unique(result.begin(), result.end()), result.end());
  return result;
}

}  // namespace calyra::cli
