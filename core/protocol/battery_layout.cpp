#include "protocol/battery_layout.h"

#include <bit>
#include <cmath>

namespace calyra::core::protocol {
namespace {

void put_u16(std::string& out, std::uint16_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8);
}

}  // namespace

std::string encode_battery_status(std::uint8_t level, bool charger_connected,
                                  std::uint8_t charge_state) {
  const auto power_state = static_cast<std::uint8_t>(0x01 | (charger_connected ? 0x02 : 0x00) |
                                                     ((charge_state & 0x03) << 5));
  // Flags bit 1: the level field is present.
  return std::string{'\x02', static_cast<char>(power_state), '\0', static_cast<char>(level)};
}

std::string encode_battery_energy(float voltage, float current) {
  std::string out(1, '\0');
  put_u16(out, float_to_half(voltage));
  put_u16(out, float_to_half(current));
  return out;
}

std::string encode_battery_health(std::uint8_t health_percent) {
  return std::string{'\x01', static_cast<char>(health_percent)};
}

std::uint16_t float_to_half(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000);
  if (std::isnan(value)) return static_cast<std::uint16_t>(sign | 0x7BFF);
  const float magnitude = std::fabs(value);
  if (magnitude >= 65504.0f) return static_cast<std::uint16_t>(sign | 0x7BFF);
  if (magnitude < 6.103515625e-05f) {
    // Subnormal half: units of 2^-24, rounded to nearest even by nearbyint.
    return static_cast<std::uint16_t>(sign | static_cast<std::uint16_t>(std::nearbyint(magnitude * 16777216.0f)));
  }
  int exponent = 0;
  const float fraction = std::frexp(magnitude, &exponent);  // magnitude = fraction · 2^exponent
  // 11 significant bits: fraction in [0.5, 1) scaled to [1024, 2048).
  auto mantissa = static_cast<std::uint32_t>(std::nearbyint(std::ldexp(fraction, 11)));
  if (mantissa == 2048) {
    mantissa = 1024;
    ++exponent;
  }
  const auto biased = static_cast<std::uint32_t>(exponent - 1 + 15);
  if (biased >= 31) return static_cast<std::uint16_t>(sign | 0x7BFF);
  return static_cast<std::uint16_t>(sign | (biased << 10) | (mantissa - 1024));
}

}  // namespace calyra::core::protocol
