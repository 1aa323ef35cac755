// Version text parsing, as connect applies it to the hardware and firmware
// revision strings of a headset. Any text either gives a version or throws
// one of the two documented exceptions (anything else escapes and is a
// finding). Texts of plain decimal pieces are checked against an
// independent reading, and every version survives the round trip through
// its text form.
#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "library/version.h"
#include "support/check.h"

namespace {

using calyra::core::version_from_string;

// "1", "1.2" or "1.2.3" in plain decimal digits, each below 2^31: the low
// byte of each number, the last one repeated for missing pieces. Empty for
// any other text.
std::optional<cy_version> plain_reading(std::string_view text) {
  std::vector<std::uint8_t> numbers;
  while (true) {
    const auto dot = text.find('.');
    const std::string_view piece = text.substr(0, dot);
    if (piece.empty() || piece.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (ec != std::errc{} || end != piece.data() + piece.size()) return std::nullopt;
    numbers.push_back(static_cast<std::uint8_t>(value));
    if (dot == std::string_view::npos) break;
    if (numbers.size() == 3) return std::nullopt;  // text after the third piece
    text.remove_prefix(dot + 1);
  }
  while (numbers.size() < 3) numbers.push_back(numbers.back());
  return cy_version{numbers[0], numbers[1], numbers[2]};
}

bool same(const cy_version& a, const cy_version& b) {
  return a.major == b.major && a.minor == b.minor && a.patch == b.patch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::optional<cy_version> parsed;
  try {
    parsed = version_from_string(text);
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  if (const auto plain = plain_reading(text)) FUZZ_CHECK(parsed && same(*parsed, *plain));
  if (parsed) {
    const std::string written = calyra::core::get_version_string(*parsed);
    FUZZ_CHECK(same(version_from_string(written), *parsed));
    FUZZ_CHECK(calyra::core::is_compatible(*parsed, version_from_string(written)));
  }
  return 0;
}
