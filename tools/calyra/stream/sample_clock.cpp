#include "stream/sample_clock.h"

#include <time.h>

namespace calyra::stream {
namespace {

std::int64_t nanoseconds(clockid_t id) {
  timespec t{};
  clock_gettime(id, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

std::int64_t monotonic_now_ns() { return nanoseconds(CLOCK_MONOTONIC); }

std::chrono::system_clock::time_point wall_time_of(std::int64_t monotonic_ns) {
  // The realtime reading between two monotonic ones; of a few tries the
  // tightest pair, so that a preemption between the reads does not shift
  // the offset.
  std::int64_t offset = 0;
  std::int64_t best_spread = -1;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::int64_t before = nanoseconds(CLOCK_MONOTONIC);
    const std::int64_t real = nanoseconds(CLOCK_REALTIME);
    const std::int64_t after = nanoseconds(CLOCK_MONOTONIC);
    if (best_spread < 0 || after - before < best_spread) {
      best_spread = after - before;
      offset = real - (before + (after - before) / 2);
    }
  }
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(monotonic_ns + offset)));
}

}  // namespace calyra::stream
