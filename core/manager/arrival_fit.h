// The stream's time origin, fitted from the arrival times of its first
// notifications.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace calyra::core {

inline constexpr std::size_t arrival_fit_points = 11;

// Least-squares line through the arrival times t[0..10] (ms since the start
// command) against x = 16, 32, .., 176; returns its value at x = 0. The mean
// arrival time is deliberately an integer quotient: annotation positions
// must match those computed by earlier releases. Packets arriving exactly
// one period apart from the start give 0.0.
inline double fit_stream_time_origin(const std::array<std::int64_t, arrival_fit_points>& t) {
  std::int64_t sum = 0;
  for (const std::int64_t v : t) sum += v;
  const std::int64_t mean_t = sum / static_cast<std::int64_t>(arrival_fit_points);
  const double mean_x = 8.0 * (arrival_fit_points + 1);
  double sxy = 0.0;
  double sxx = 0.0;
  for (std::size_t i = 1; i <= arrival_fit_points; ++i) {
    const double dx = 16.0 * static_cast<double>(i) - mean_x;
    sxy += static_cast<double>(t[i - 1] - mean_t) * dx;
    sxx += dx * dx;
  }
  return static_cast<double>(mean_t) - (sxy / sxx) * mean_x;
}

}  // namespace calyra::core
