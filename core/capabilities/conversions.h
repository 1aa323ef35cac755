// Motion-sensor conversions. The arithmetic is single precision in exactly
// the written order, and this file is built without floating-point
// contraction: a fused multiply-add would change the last bit of the result
// that hosts compare against.
#pragma once

#include <cstdint>

namespace calyra::core::capabilities::conversion {

// 3.9 milli-g per count, in m/s^2.
float accel_3_9_milli_g(std::int16_t raw);
// +-4 g full scale over 16 bits, in m/s^2.
float accel_4_g_full_scale(std::int16_t raw);
// +-250 degrees/s full scale over 16 bits, in rad/s.
float gyro_250_dps_full_scale(std::int16_t raw);

}  // namespace calyra::core::capabilities::conversion
