#include "lsl/lsl_clock.h"

#include <time.h>

#include <cmath>

namespace calyra::lsl {
namespace {

double monotonic_seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

clock_link::clock_link(const api& library) {
  // LSL's reading between two of ours; of a few tries the tightest pair, so
  // that a preemption between the reads does not pass for an offset.
  double best_spread = -1.0;
  double offset = 0.0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const double before = monotonic_seconds();
    const double lsl_now = library.local_clock();
    const double after = monotonic_seconds();
    if (best_spread < 0.0 || after - before < best_spread) {
      best_spread = after - before;
      offset = lsl_now - (before + after) / 2.0;
    }
  }
  offset_s_ = std::fabs(offset) <= same_clock_tolerance_s ? 0.0 : offset;
}

std::int64_t clock_link::host_time_of(double lsl_time_s) const {
  return std::llround((lsl_time_s - offset_s_) * 1e9);
}

}  // namespace calyra::lsl
