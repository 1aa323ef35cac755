// The headset's sampling clock on the host's steady clock: its crystal runs
// `ppm` fast (+) or slow (-), so at a nominal rate R it takes R·(1 + ppm·1e-6)
// samples per host second. Sampling starts at a moment `start`; the first
// sample is taken one (headset) sample period later, and the others follow
// one period apart. A packet is ready once its last sample is taken.
#pragma once

#include <chrono>
#include <cstdint>

namespace calyra::simulator {

using clock = std::chrono::steady_clock;

class sample_clock {
 public:
  explicit sample_clock(double ppm) : ppm_(ppm) {}

  // Sampling at `rate_hz` begins at `start` with sample number `first`.
  void start(clock::time_point start, std::uint64_t first, double rate_hz);
  // From sample `next` on the rate is `rate_hz`; earlier samples keep their
  // times (next must not lie before the first sample of start()).
  void change_rate(std::uint64_t next, double rate_hz);
  // The headset paused for `pause`: every sample from now on comes that much later.
  void shift(clock::duration pause) { start_ += pause; }

  double rate_hz() const { return rate_hz_; }
  // When sample `sample` is taken (samples before a rate change: at the new rate, which
  // is right for the last of them only).
  clock::time_point taken_at(std::uint64_t sample) const;
  // The first sample taken at or after `t` (the first sample when t is earlier).
  std::uint64_t first_taken_at_or_after(clock::time_point t) const;

 private:
  double ns_per_sample() const { return 1e9 / (rate_hz_ * (1.0 + ppm_ * 1e-6)); }

  double ppm_;
  clock::time_point start_{};
  std::uint64_t first_ = 0;
  double rate_hz_ = 250.0;
};

}  // namespace calyra::simulator
