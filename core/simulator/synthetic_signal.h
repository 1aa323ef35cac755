// The virtual headset's EEG: per electrode an alpha-band sine of a few tens
// of microvolts, noise, and an optional mains component. Every value is a pure
// function of (seed, electrode, sample number), so a stream is reproducible
// whatever the pacing, the packet loss or the moment it is read.
#pragma once

#include <cstdint>

#include "simulator/model_shapes.h"

namespace calyra::simulator {

class synthetic_signal {
 public:
  synthetic_signal(std::uint64_t seed, double line_hz) : seed_(seed), line_hz_(line_hz) {}

  // Microvolts of `electrode` at `sample` for a stream at `rate_hz`.
  double microvolts(unsigned electrode, std::uint64_t sample, double rate_hz) const;

  // Raw counts as the front end reports them at gain `multiplier`, so that
  // counts / 8388607 · 4.5 / multiplier · 1e6 gives the microvolts back.
  // `extra_microvolts` is added before the conversion (a trigger pulse).
  std::int32_t counts(unsigned electrode, std::uint64_t sample, double rate_hz,
                      unsigned multiplier, double extra_microvolts = 0.0) const;

  // Impedance mode: a steady per-electrode reading with a little noise, in
  // raw counts (the receiver does not scale these).
  std::int32_t impedance_counts(unsigned electrode, std::uint64_t sample) const;

  // Noise in [-1, 1), deterministic for its arguments.
  double noise(unsigned electrode, std::uint64_t sample) const;

  static constexpr double alpha_hz = 10.0;
  static constexpr double alpha_microvolts = 20.0;
  static constexpr double noise_microvolts = 3.0;
  static constexpr double line_microvolts = 8.0;

 private:
  std::uint64_t seed_;
  double line_hz_;
};

}  // namespace calyra::simulator
