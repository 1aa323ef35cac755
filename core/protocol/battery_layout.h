// The battery characteristics as the headset fills them (device side).
//
//   battery_status  [flags, power state low, power state high, level]
//                   power state low: bit 0 battery present, bit 1 charger
//                   connected, bits 5–6 charge state (1 charging, 2 discharging)
//   battery_energy  [flags, voltage (half float LE), current (half float LE)]
//   battery_health  [flags, health in percent]
#pragma once

#include <cstdint>
#include <string>

namespace calyra::core::protocol {

inline constexpr std::uint8_t charge_state_charging = 1;
inline constexpr std::uint8_t charge_state_discharging = 2;

std::string encode_battery_status(std::uint8_t level, bool charger_connected,
                                  std::uint8_t charge_state);
std::string encode_battery_energy(float voltage, float current);
std::string encode_battery_health(std::uint8_t health_percent);

// IEEE half precision, rounded to nearest even; overflow saturates to the
// largest finite half, so the receiver never sees exponent 31.
std::uint16_t float_to_half(float value);

}  // namespace calyra::core::protocol
