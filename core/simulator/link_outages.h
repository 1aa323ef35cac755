// When the headset's link drops on its own and how long the headset then
// stays out of reach: with `drop_every` the link is lost after exponential
// times (mean drop_every seconds of link, drawn from `seed`) counted from
// each link coming up; after any loss (these, drop_after, or one a test
// requests) the headset is unreachable for `down_ms` (or the time the test
// gives): it does not advertise and connects to it fail.
//
// Everything is drawn from the seed, so the same calls give the same times.
#pragma once

#include <chrono>
#include <cstdint>

namespace calyra::simulator {

using clock = std::chrono::steady_clock;

class link_outages {
 public:
  link_outages(double drop_every_s, double down_ms, std::uint64_t seed);

  // The link came up at `now`: the next spontaneous loss is drawn from here.
  void link_up(clock::time_point now);
  // When the link drops on its own next; time_point::max() for never.
  clock::time_point next_drop() const { return next_drop_; }
  // The link was lost at `at`: out of reach for the configured down time.
  void lost(clock::time_point at) { lost(at, down_); }
  // ... or for `down`.
  void lost(clock::time_point at, clock::duration down);
  bool reachable(clock::time_point now) const { return now >= back_at_; }
  clock::time_point back_at() const { return back_at_; }

 private:
  double uniform();  // [0, 1)

  const double mean_ns_;
  const clock::duration down_;
  std::uint64_t random_state_;
  clock::time_point next_drop_ = clock::time_point::max();
  clock::time_point back_at_ = clock::time_point::min();
};

}  // namespace calyra::simulator
