// When the headset's packets reach the host over a BLE link: a packet ready
// at some moment waits for the next connection event (one every interval
// from the moment the link came up; interval 0: it leaves at once), and
// every connection event adds its own one-sided random delay (exponential,
// mean delay). Stalls of 100-500 ms start at random (a Poisson process of
// `stalls_per_s` on the host's clock); what becomes ready during one leaves
// together at the first connection event after it. Nothing is lost and the
// order is kept: a packet never arrives before the one ahead of it.
//
// Everything is drawn from the seed, so the same calls give the same times.
#pragma once

#include <chrono>
#include <cstdint>

namespace calyra::simulator {

using clock = std::chrono::steady_clock;

struct radio_settings {
  double interval_ms = 0.0;
  double delay_ms = 0.0;
  double stalls_per_s = 0.0;
  std::uint64_t seed = 1;
};

class radio_schedule {
 public:
  explicit radio_schedule(const radio_settings& settings);

  // The link comes up: connection events begin at `now`, stalls are drawn from then on.
  void link_up(clock::time_point now);
  // Packets sent before now arrived already: the next arrival need not wait for them.
  void forget_order() { last_arrival_ = clock::time_point::min(); }
  // When a packet ready at `ready` arrives. Calls come in the order the
  // packets leave the headset (ready times not decreasing).
  clock::time_point arrival(clock::time_point ready);

 private:
  clock::time_point next_event(clock::time_point t) const;
  void draw_stall_after(clock::time_point t);
  double uniform();  // [0, 1)

  const clock::duration interval_;
  const double delay_ns_;
  const double stalls_per_ns_;
  std::uint64_t random_state_;
  clock::time_point events_from_{};
  clock::time_point stall_start_ = clock::time_point::max();
  clock::time_point stall_end_ = clock::time_point::max();
  clock::time_point event_ = clock::time_point::min();
  clock::duration event_delay_{0};
  clock::time_point last_arrival_ = clock::time_point::min();
};

}  // namespace calyra::simulator
