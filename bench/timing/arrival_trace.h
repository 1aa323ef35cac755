// Synthetic arrival traces of a headset stream in simulated time: the truth
// a stream clock is measured against, with nothing slept.
//
// Sample n is acquired at t0 + n / (rate * (1 + ppm 1e-6)) on the host's
// clock. A packet leaves once its last sample is acquired, waits for the next
// connection event (events every interval on the host's clock; 0 sends at
// once), plus an exponential delay drawn per connection event; stalls of
// 100-500 ms hold everything back to one burst; lost packets never arrive.
// Arrivals keep their order, as a host stack delivers them. Shared by the
// accuracy benchmark and the estimator's tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

namespace calyra::timing {

struct trace_settings {
  double rate_hz = 250.0;
  int samples_per_packet = 10;
  double ppm = 0.0;           // the headset's clock runs this much fast (+) or slow (-)
  double interval_ms = 0.0;   // connection interval; 0: each packet leaves at once
  double delay_ms = 0.0;      // mean of the exponential delay per connection event
  double loss = 0.0;          // probability that a packet is lost
  double stalls_per_s = 0.0;  // rate of 100-500 ms stalls
  double duration_s = 60.0;
  std::uint64_t seed = 1;
  std::uint32_t first_sample = 0;  // counter value of sample 0 (to place a wrap)
  std::int64_t host_start_ns = 1'000'000'000'000;  // the start command comes within 1 s after this
};

struct arrival {
  std::uint32_t counter = 0;   // the packet's last sample, as the headset counts it
  std::int64_t sample = 0;     // the same without the 32-bit wrap
  std::int64_t arrival_ns = 0;
};

class arrival_trace {
 public:
  explicit arrival_trace(const trace_settings& s) : s_(s), random_(s.seed) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    start_command_ns_ = s.host_start_ns + static_cast<std::int64_t>(unit(random_) * 1e9);
    // The headset starts sampling a little after the start command.
    t0_ns_ = static_cast<double>(start_command_ns_) + 5e6 + unit(random_) * 15e6;
    ns_per_sample_ = 1e9 / (s.rate_hz * (1.0 + s.ppm * 1e-6));
    interval_ns_ = s.interval_ms * 1e6;
    event_phase_ns_ = static_cast<double>(start_command_ns_) + unit(random_) * interval_ns_;
    schedule_stall(t0_ns_);
  }

  // The next packet that arrives; false once the trace's duration is over.
  bool next(arrival& out) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (;;) {
      const std::int64_t last = static_cast<std::int64_t>(packet_ + 1) * s_.samples_per_packet - 1;
      ++packet_;
      const double ready = true_time_of(static_cast<double>(last) + s_.first_sample);
      if (ready - t0_ns_ > s_.duration_s * 1e9) return false;
      if (s_.loss > 0.0 && unit(random_) < s_.loss) continue;
      double send = next_event(ready);
      while (s_.stalls_per_s > 0.0 && send >= stall_end_ns_) schedule_stall(stall_end_ns_);
      if (s_.stalls_per_s > 0.0 && send >= stall_start_ns_) send = next_event(stall_end_ns_);
      if (send != event_ns_) {  // a new connection event: a new delay
        event_ns_ = send;
        event_delay_ns_ = s_.delay_ms > 0.0 ? std::exponential_distribution<double>(1.0 / (s_.delay_ms * 1e6))(random_) : 0.0;
      }
      const auto at = static_cast<std::int64_t>(std::ceil(send + event_delay_ns_));
      last_arrival_ns_ = std::max(last_arrival_ns_, at);
      out.sample = last + s_.first_sample;
      out.counter = static_cast<std::uint32_t>(static_cast<std::uint64_t>(out.sample) & 0xFFFFFFFFu);
      out.arrival_ns = last_arrival_ns_;
      return true;
    }
  }

  // The (fractional, unwrapped) sample acquired at host time t, and back.
  double true_sample_at(std::int64_t t_ns) const {
    return (static_cast<double>(t_ns) - t0_ns_) / ns_per_sample_ + s_.first_sample;
  }
  double true_time_of(double sample) const { return t0_ns_ + (sample - s_.first_sample) * ns_per_sample_; }
  std::int64_t start_command_ns() const { return start_command_ns_; }
  double first_sample_ns() const { return t0_ns_; }
  double true_ns_per_sample() const { return ns_per_sample_; }

 private:
  double next_event(double ready) const {
    if (interval_ns_ <= 0.0) return ready;
    return event_phase_ns_ + std::ceil((ready - event_phase_ns_) / interval_ns_) * interval_ns_;
  }
  void schedule_stall(double after_ns) {
    if (s_.stalls_per_s <= 0.0) return;
    std::exponential_distribution<double> gap(s_.stalls_per_s / 1e9);
    std::uniform_real_distribution<double> length(100e6, 500e6);
    stall_start_ns_ = after_ns + gap(random_);
    stall_end_ns_ = stall_start_ns_ + length(random_);
  }

  trace_settings s_;
  std::mt19937_64 random_;
  std::int64_t start_command_ns_ = 0;
  double t0_ns_ = 0.0;
  double ns_per_sample_ = 0.0;
  double interval_ns_ = 0.0;
  double event_phase_ns_ = 0.0;
  double stall_start_ns_ = 0.0;
  double stall_end_ns_ = 0.0;
  double event_ns_ = -1.0;
  double event_delay_ns_ = 0.0;
  std::int64_t last_arrival_ns_ = 0;
  std::uint64_t packet_ = 0;
};

}  // namespace calyra::timing
