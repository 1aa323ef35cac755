// A straight line from sample numbers to host time: the form every estimate
// of the stream clock takes between two fits.
#pragma once

#include <cmath>
#include <cstdint>

namespace calyra::core::clock {

struct clock_line {
  // The line passes through (sample_ref, time_ref_ns); both are a real
  // observation, kept as integers so that hours of nanoseconds lose nothing.
  std::int64_t sample_ref = 0;
  std::int64_t time_ref_ns = 0;
  double ns_per_sample = 0.0;

  double time_of(double sample) const {
    return static_cast<double>(time_ref_ns) + ns_per_sample * (sample - static_cast<double>(sample_ref));
  }
  double sample_at(std::int64_t time_ns) const {
    return static_cast<double>(sample_ref) + static_cast<double>(time_ns - time_ref_ns) / ns_per_sample;
  }
  // How far a point lies above the line (negative: below), in ns.
  double height_of(std::int64_t sample, std::int64_t time_ns) const {
    return static_cast<double>(time_ns - time_ref_ns) -
           ns_per_sample * static_cast<double>(sample - sample_ref);
  }
};

}  // namespace calyra::core::clock
