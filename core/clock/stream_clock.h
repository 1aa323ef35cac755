// The stream clock: maps the sample numbers of one stream to the host's
// steady clock (CLOCK_MONOTONIC nanoseconds), online, from the arrival time
// of each notification and the packet counter of its last sample.
//
// One feeding thread (the notification handler, under the manager's stream
// lock) calls restart and add_packet; any thread reads snapshot(). The fit
// itself is lower_envelope's; this class adds what a real stream needs
// around it: unwrapping the 32-bit counter, ignoring repeated and late
// packets, refusing points no headset could produce (a corrupt counter lies
// far below the line), starting afresh when the counter takes a new basis,
// and publishing each fit for the readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "clock/clock_line.h"
#include "clock/delay_histogram.h"
#include "clock/lower_envelope.h"
#include "clock/published_times.h"

namespace calyra::core::clock {

enum class clock_state : std::uint8_t { unknown = 0, settling = 1, tracking = 2 };

struct clock_snapshot {
  clock_state state = clock_state::unknown;
  clock_line line{};             // valid unless state is unknown
  double nominal_rate_hz = 0.0;  // what the stream was started at
  double jitter_ms = 0.0;        // p99 of arrival minus the line's time, last 1-2 min
  std::uint64_t packets_fitted = 0;
  double span_s = 0.0;           // stream time the fit covers
};

class stream_clock {
 public:
  // The first line is published once the accepted packets span this much
  // stream time and number at least min_packets_for_first_fit.
  static constexpr double first_fit_span_s = 1.0;
  static constexpr std::uint64_t min_packets_for_first_fit = 3;
  // Fits over less than this are "settling".
  static constexpr double tracking_span_s = 60.0;
  // Length of the sliding window. The lowest points come from the moments
  // when a packet is completed just before a connection event; the phase
  // between the two grids sweeps at the headset's drift, so these moments
  // recur every (common step of packet period and interval) / drift, e.g.
  // 10 ms / 20 ppm = 500 s, and the window must hold two of them to see the
  // slope rather than the connection events'. A crystal warming by 1 ppm per
  // 10 minutes bends the line by well under a millisecond over it.
  static constexpr double window_s = 1200.0;
  // Headset crystals run within about this much of nominal (one standard
  // deviation): the early fit's prior, widened when the lower hull shows
  // more. Within one sweep of the phase between packets and connection
  // events the lowest arrivals follow the host's connection events, so a
  // few seconds of them show a slope near nominal whatever the drift, and
  // their noise is all that tilts the line.
  static constexpr double crystal_spread_ppm = 100.0;
  // Each bin of this much stream time keeps only its lowest point.
  static constexpr double bin_s = 0.1;
  // A point this far below the line cannot come from the same counter basis.
  static constexpr std::int64_t reject_below_ns = 500'000'000;
  // This many refused packets in a row mean the counter took a new basis.
  static constexpr int refused_before_restart = 16;
  // A stream of the same headset at the same rate that starts within this
  // long after the last packet of the previous one starts from the drift
  // measured before: the crystal is the same and has had little time to
  // change temperature.
  static constexpr std::int64_t carry_drift_within_ns = 600'000'000'000;

  stream_clock();

  // A stream at nominal_rate_hz begins (0: unknown, 250 Hz assumed as the
  // starting slope; the fit finds the real one) from `source` (the headset's
  // identifier; empty: unknown). Everything of the last stream is forgotten
  // except its drift: when the source and rate are the same (and not empty
  // or 0) and the first packet arrives within carry_drift_within_ns of the
  // last one before, the new fit takes the slope measured before until its
  // own window covers as much stream time as that measurement did. The
  // offset is never carried: the headset's counter starts again.
  void restart(double nominal_rate_hz, std::string_view source = {});
  // One decoded notification: the counter of its last sample and the host
  // time (steady clock, ns) at which it arrived.
  void add_packet(std::uint32_t last_sample_counter, std::int64_t arrival_ns);

  clock_snapshot snapshot() const;

  // The published times (ns) of samples first .. first + count - 1 into
  // out[0 .. count - 1]; false (nothing written) while no clock is known.
  // See published_times for how they relate to the line.
  bool published_times_of(std::int64_t first, std::size_t count, std::int64_t* out) const;

 private:
  void begin(std::uint32_t counter, std::int64_t arrival_ns);
  void refit();
  void publish(std::int64_t sample);

  struct carried_drift {
    bool valid = false;
    std::size_t source = 0;
    double nominal_rate_hz = 0.0;
    double ns_per_sample = 0.0;
    double span_s = 0.0;
    std::int64_t last_arrival_ns = 0;
  };

  double nominal_rate_hz_ = 0.0;
  double nominal_ns_per_sample_ = 4e6;
  lower_envelope envelope_;
  delay_histogram delays_;
  bool started_ = false;
  std::uint32_t last_counter_ = 0;
  std::int64_t last_sample_ = 0;
  int refused_in_row_ = 0;
  bool line_known_ = false;
  std::size_t source_ = 0;  // hash of the headset's identifier; 0: unknown
  std::int64_t first_sample_ = 0;
  std::int64_t last_arrival_ns_ = 0;
  double span_s_ = 0.0;
  carried_drift carried_{};
  bool use_carried_ = false;
  clock_line line_{};
  std::int64_t last_fit_sample_ = 0;

  mutable std::mutex published_mutex_;
  clock_snapshot published_;  // guard: published_mutex_
  published_times track_;     // guard: published_mutex_
};

}  // namespace calyra::core::clock
