#include "simulator/radio_schedule.h"

#include <algorithm>
#include <cmath>

namespace calyra::simulator {
namespace {

constexpr double min_stall_ns = 100e6;
constexpr double max_stall_ns = 500e6;

}  // namespace

radio_schedule::radio_schedule(const radio_settings& settings)
    : interval_(std::llround(settings.interval_ms * 1e6)),
      delay_ns_(settings.delay_ms * 1e6),
      stalls_per_ns_(settings.stalls_per_s * 1e-9),
      random_state_(settings.seed ^ 0x726164696full) {}  // "radio": apart from the loss sequence

double radio_schedule::uniform() {
  // splitmix64: the same sequence for the same seed everywhere.
  std::uint64_t x = (random_state_ += 0x9e3779b97f4a7c15ull);
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  x ^= x >> 31;
  return static_cast<double>(x >> 11) * 0x1.0p-53;
}

void radio_schedule::link_up(clock::time_point now) {
  events_from_ = now;
  event_ = clock::time_point::min();
  last_arrival_ = clock::time_point::min();
  stall_start_ = stall_end_ = clock::time_point::max();
  if (stalls_per_ns_ > 0.0) draw_stall_after(now);
}

void radio_schedule::draw_stall_after(clock::time_point t) {
  const double gap = -std::log1p(-uniform()) / stalls_per_ns_;
  const double length = min_stall_ns + uniform() * (max_stall_ns - min_stall_ns);
  stall_start_ = t + clock::duration(std::llround(gap));
  stall_end_ = stall_start_ + clock::duration(std::llround(length));
}

clock::time_point radio_schedule::next_event(clock::time_point t) const {
  if (interval_.count() <= 0 || t <= events_from_) return std::max(t, events_from_);
  const auto since = (t - events_from_).count();
  const auto step = interval_.count();
  return events_from_ + clock::duration((since + step - 1) / step * step);
}

clock::time_point radio_schedule::arrival(clock::time_point ready) {
  clock::time_point send = next_event(ready);
  if (stalls_per_ns_ > 0.0) {
    for (;;) {
      while (send >= stall_end_) draw_stall_after(stall_end_);
      if (send < stall_start_) break;
      send = next_event(stall_end_);  // held until the radio is back
    }
  }
  if (send != event_) {  // a new connection event: a new delay
    event_ = send;
    event_delay_ = delay_ns_ > 0.0 ? clock::duration(std::llround(-std::log1p(-uniform()) * delay_ns_))
                                   : clock::duration::zero();
  }
  last_arrival_ = std::max(last_arrival_, send + event_delay_);
  return last_arrival_;
}

}  // namespace calyra::simulator
