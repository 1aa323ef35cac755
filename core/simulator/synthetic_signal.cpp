#include "simulator/synthetic_signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "protocol/packet_encoder.h"

namespace calyra::simulator {
namespace {

std::uint64_t mix(std::uint64_t x) {
  // splitmix64 finaliser
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

constexpr double full_scale_volts = 4.5;

}  // namespace

double synthetic_signal::noise(unsigned electrode, std::uint64_t sample) const {
  const std::uint64_t h = mix(seed_ ^ mix(sample * 64 + electrode));
  return static_cast<double>(h >> 11) * 0x1.0p-52 - 1.0;
}

double synthetic_signal::microvolts(unsigned electrode, std::uint64_t sample, double rate_hz) const {
  const double t = static_cast<double>(sample) / rate_hz;
  const double two_pi = 2.0 * std::numbers::pi;
  double uv = alpha_microvolts * std::sin(two_pi * alpha_hz * t + 0.7 * electrode);
  uv += noise_microvolts * noise(electrode, sample);
  if (line_hz_ > 0.0) uv += line_microvolts * std::sin(two_pi * line_hz_ * t);
  return uv;
}

std::int32_t synthetic_signal::counts(unsigned electrode, std::uint64_t sample, double rate_hz,
                                      unsigned multiplier, double extra_microvolts) const {
  const double volts = (microvolts(electrode, sample, rate_hz) + extra_microvolts) / 1e6;
  const double raw = volts * multiplier / full_scale_volts * protocol::max_sample_value;
  return static_cast<std::int32_t>(std::clamp(std::lround(raw), -long{protocol::max_sample_value},
                                              long{protocol::max_sample_value}));
}

std::int32_t synthetic_signal::impedance_counts(unsigned electrode, std::uint64_t sample) const {
  return static_cast<std::int32_t>(12000 + 1500 * electrode + std::lround(20.0 * noise(electrode, sample)));
}

}  // namespace calyra::simulator
