#include "capabilities/conversions.h"

namespace calyra::core::capabilities::conversion {

namespace {
constexpr float standard_gravity = 9.80665f;
constexpr float two_to_minus_15 = 0.000030517578125f;
constexpr float pi = 3.1415927f;
}  // namespace

float accel_3_9_milli_g(std::int16_t raw) {
  const float r = static_cast<float>(raw);
  return ((r * 3.9f) * standard_gravity) / 1000.0f;
}

float accel_4_g_full_scale(std::int16_t raw) {
  const float r = static_cast<float>(raw);
  return ((r * 4.0f) * standard_gravity) * two_to_minus_15;
}

float gyro_250_dps_full_scale(std::int16_t raw) {
  const float r = static_cast<float>(raw);
  return (((r * 250.0f) * two_to_minus_15) * pi) / 180.0f;
}

}  // namespace calyra::core::capabilities::conversion
