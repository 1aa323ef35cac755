#include "manager/conversions.h"

#include <bit>

namespace calyra::core {

int gain_mode_to_multiplier(gain_mode mode) {
  switch (mode) {
    case gain_mode::X1: return 1;
    case gain_mode::X2: return 2;
    case gain_mode::X4: return 4;
    case gain_mode::X6: return 6;
    case gain_mode::X8: return 8;
    case gain_mode::X12: return 12;
  }
  return 0;
}

gain_mode multiplier_to_gain_mode(int multiplier) {
  switch (multiplier) {
    case 4: return gain_mode::X4;
    case 6: return gain_mode::X6;
    case 8: return gain_mode::X8;
    case 12: return gain_mode::X12;
    default: return static_cast<gain_mode>(0xFF);
  }
}

int effective_gain_multiplier(gain_mode mode) {
  const int multiplier = gain_mode_to_multiplier(mode);
  return multiplier == 0 ? 8 : multiplier;
}

float float16_to_float(std::uint16_t bits) {
  const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
  std::uint32_t exponent = (bits >> 10) & 0x1Fu;
  std::uint32_t fraction = bits & 0x3FFu;
  if (exponent == 0) {
    if (fraction == 0) return std::bit_cast<float>(sign);
    // Subnormal: shift the fraction up until its leading one becomes the
    // implicit bit, lowering the exponent once per step.
    exponent = 1;
    while ((fraction & 0x400u) == 0) {
      fraction <<= 1;
      --exponent;
    }
    fraction &= 0x3FFu;
  }
  const std::uint32_t single = sign | ((exponent + 112u) << 23) | (fraction << 13);
  return std::bit_cast<float>(single);
}

}  // namespace calyra::core
