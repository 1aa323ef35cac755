#include "library/version.h"

#include <array>
#include <string_view>

namespace calyra::core {

std::string get_version_string(const cy_version& version) {
  return std::to_string(version.major) + '.' + std::to_string(version.minor) + '.' +
         std::to_string(version.patch);
}

cy_version version_from_string(const std::string& text) {
  // Pieces end at the next '.' or at the end of the text. When the text runs
  // out early the last piece read stands for the missing ones, which is how
  // a stream-based read of "1.2" behaves (1.2.2).
  std::array<std::string, 3> pieces;
  std::size_t count = 0;
  std::size_t start = 0;
  while (count < pieces.size()) {
    const std::size_t end = text.find('.', start);
    pieces[count++] = text.substr(start, end == std::string::npos ? end : end - start);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  for (std::size_t i = count; i < pieces.size(); ++i) pieces[i] = pieces[count - 1];

  std::array<std::uint8_t, 3> numbers{};
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    // std::stoi gives the documented failures: invalid_argument("stoi") for
    // text without a leading number, out_of_range beyond int. Only the low 8
    // bits are kept.
    numbers[i] = static_cast<std::uint8_t>(std::stoi(pieces[i]));
  }
  return cy_version{numbers[0], numbers[1], numbers[2]};
}

}  // namespace calyra::core
