// Host times of stream samples. The stream loop answers from the library's
// stream clock (stream/manager_clock.h); the pipeline's tests give their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace calyra::stream {

class sample_clock {
 public:
  virtual ~sample_clock() = default;

  // When the stream sample numbered `sample` was acquired, in nanoseconds
  // of CLOCK_MONOTONIC; nullopt while the clock is not known.
  virtual std::optional<std::int64_t> host_time_of(double sample) const = 0;

  // The times of `count` consecutive samples from `first` as a column of a
  // recording gets them: increasing, and never stepping when the clock's
  // estimate improves. False while the clock is not known. By default the
  // clock's own times (a clock that never re-estimates steps by nothing).
  virtual bool host_times_of(std::int64_t first, std::size_t count, std::int64_t* out) const {
    for (std::size_t i = 0; i < count; ++i) {
      const auto t = host_time_of(static_cast<double>(first + static_cast<std::int64_t>(i)));
      if (!t) return false;
      out[i] = *t;
    }
    return true;
  }
};

// CLOCK_MONOTONIC now, in nanoseconds (std::chrono::steady_clock on Linux).
std::int64_t monotonic_now_ns();

// The wall-clock time (CLOCK_REALTIME) of the CLOCK_MONOTONIC time
// `monotonic_ns`, by the offset between the two clocks measured now.
std::chrono::system_clock::time_point wall_time_of(std::int64_t monotonic_ns);

}  // namespace calyra::stream
