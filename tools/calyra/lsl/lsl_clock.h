// LSL's timestamps and calyra's host times. Host times are nanoseconds of
// CLOCK_MONOTONIC (the stream clock's); LSL timestamps are seconds of
// lsl_local_clock(), which on Linux reads the same clock. A liblsl whose
// clock differs is still served: the offset between the two, measured when
// the link is made, converts every time, and offset() tells the user.
#pragma once

#include <cstdint>

#include "lsl/lsl_api.h"

namespace calyra::lsl {

class clock_link {
 public:
  explicit clock_link(const api& library);

  // lsl_local_clock() minus CLOCK_MONOTONIC, in seconds: 0 when they are the
  // same clock (measured within same_clock_tolerance_s).
  double offset_s() const { return offset_s_; }
  bool same_clock() const { return offset_s_ == 0.0; }
  // The largest measured difference still taken as the same clock: reading
  // two clocks one after the other is a few microseconds apart.
  static constexpr double same_clock_tolerance_s = 0.001;

  double lsl_time_of(std::int64_t host_time_ns) const {
    return static_cast<double>(host_time_ns) * 1e-9 + offset_s_;
  }
  // Rounded to the nearest nanosecond.
  std::int64_t host_time_of(double lsl_time_s) const;

 private:
  double offset_s_ = 0.0;
};

}  // namespace calyra::lsl
