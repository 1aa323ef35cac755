#include "simulator/sample_clock.h"

#include <algorithm>
#include <cmath>

namespace calyra::simulator {

void sample_clock::start(clock::time_point start, std::uint64_t first, double rate_hz) {
  start_ = start;
  first_ = first;
  rate_hz_ = rate_hz;
}

void sample_clock::change_rate(std::uint64_t next, double rate_hz) {
  if (rate_hz == rate_hz_) return;
  // The last sample at the old rate anchors the new one.
  if (next > first_) start(taken_at(next - 1), next, rate_hz);
  else rate_hz_ = rate_hz;
}

clock::time_point sample_clock::taken_at(std::uint64_t sample) const {
  // Signed: samples before the last rate change lie before the anchor.
  const double periods = static_cast<double>(static_cast<std::int64_t>(sample - first_)) + 1.0;
  return start_ + clock::duration(std::llround(periods * ns_per_sample()));
}

std::uint64_t sample_clock::first_taken_at_or_after(clock::time_point t) const {
  if (t <= start_) return first_;
  const double periods = static_cast<double>((t - start_).count()) / ns_per_sample();
  std::uint64_t sample = first_ + static_cast<std::uint64_t>(std::max(0.0, std::ceil(periods - 1.0)));
  // taken_at() rounds to whole nanoseconds: settle the boundary on its values.
  while (taken_at(sample) < t) ++sample;
  while (sample > first_ && taken_at(sample - 1) >= t) --sample;
  return sample;
}

}  // namespace calyra::simulator
