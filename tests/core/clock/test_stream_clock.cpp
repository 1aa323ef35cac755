// The stream clock against the truth of synthetic arrival traces: drift,
// bursts at connection events, delays, stalls, loss, counter wrap, a counter
// that starts again, and restarts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include "arrival_trace.h"
#include "clock/stream_clock.h"

namespace calyra::core::clock {
namespace {

using timing::arrival;
using timing::arrival_trace;
using timing::trace_settings;

struct run_result {
  double max_error_after = 0.0;  // samples, from settle_s on
  double max_error_anytime = 0.0;
  double first_known_s = -1.0;
  clock_snapshot last;
};

// Feeds a whole trace; the error is that of "the sample acquired now" asked
// at each arrival, as annotate_at asks it.
run_result run(stream_clock& clock, const trace_settings& s, double settle_s) {
  arrival_trace trace(s);
  run_result r;
  arrival a;
  while (trace.next(a)) {
    clock.add_packet(a.counter, a.arrival_ns);
    const clock_snapshot snap = clock.snapshot();
    if (snap.state == clock_state::unknown) continue;
    const double t_s = (static_cast<double>(a.arrival_ns) - trace.first_sample_ns()) / 1e9;
    if (r.first_known_s < 0.0) r.first_known_s = t_s;
    const double error = std::fabs(snap.line.sample_at(a.arrival_ns) - trace.true_sample_at(a.arrival_ns));
    r.max_error_anytime = std::max(r.max_error_anytime, error);
    if (t_s >= settle_s) r.max_error_after = std::max(r.max_error_after, error);
  }
  r.last = clock.snapshot();
  return r;
}

double drift_ppm(const clock_snapshot& snap) { return (1e9 / snap.line.ns_per_sample / snap.nominal_rate_hz - 1.0) * 1e6; }

TEST(StreamClock, UnknownUntilOneSecondOfStream) {
  stream_clock clock;
  clock.restart(250.0);
  trace_settings s;
  s.duration_s = 3.0;
  const run_result r = run(clock, s, 0.0);
  EXPECT_GE(r.first_known_s, 1.0);
  EXPECT_LT(r.first_known_s, 1.1);
}

// Until the phase between packets and connection events has swept its range
// twice (2.5 ms / drift here: 17 s at 150 ppm) the lowest points lie on the
// connection events' line and no method can tell the drift; after that the
// line is the truth's.
TEST(StreamClock, FollowsDriftOfEitherSign) {
  for (const double ppm : {-5000.0, -150.0, 180.0, 2000.0}) {
    stream_clock clock;
    clock.restart(500.0);
    trace_settings s;
    s.rate_hz = 500.0;
    s.ppm = ppm;
    s.interval_ms = 7.5;
    s.duration_s = 150.0;
    const run_result r = run(clock, s, 60.0);
    EXPECT_LT(r.max_error_after, 0.25) << ppm;
    EXPECT_NEAR(drift_ppm(r.last), ppm, 1.0) << ppm;
    EXPECT_EQ(r.last.state, clock_state::tracking);
  }
}

// Delays, bursts, stalls and loss only lift points above the line: a fit of
// the mean (least squares) would sit some 20 ms (10 samples) late here.
TEST(StreamClock, DelaysBurstsStallsAndLossDoNotPullTheLine) {
  stream_clock clock;
  clock.restart(500.0);
  trace_settings s;
  s.rate_hz = 500.0;
  s.ppm = 2000.0;  // the packet phase sweeps the connection interval within seconds
  s.interval_ms = 30.0;
  s.delay_ms = 5.0;
  s.loss = 0.05;
  s.stalls_per_s = 0.2;
  s.duration_s = 180.0;
  const run_result r = run(clock, s, 20.0);
  EXPECT_LT(r.max_error_after, 1.0);
  EXPECT_GT(r.last.jitter_ms, 20.0);  // what a host sees around the line
  EXPECT_NEAR(drift_ppm(r.last), 2000.0, 5.0);
}

TEST(StreamClock, CountsOnAcrossTheCounterWrap) {
  stream_clock clock;
  clock.restart(250.0);
  trace_settings s;
  s.first_sample = 0xFFFFFFFFu - 250 * 30;  // wraps 30 s in
  s.interval_ms = 7.5;
  s.ppm = 1000.0;
  s.duration_s = 60.0;
  arrival_trace trace(s);
  const run_result r = run(clock, s, 10.0);
  EXPECT_LT(r.max_error_after, 0.25);
  const double sample = r.last.line.sample_at(static_cast<std::int64_t>(trace.true_time_of(4294967296.0 + 5000.0)));
  EXPECT_NEAR(sample, 4294967296.0 + 5000.0, 0.5);
}

TEST(StreamClock, RestartForgetsTheLastStream) {
  stream_clock clock;
  clock.restart(250.0);
  trace_settings first;
  first.ppm = -300.0;
  first.duration_s = 20.0;
  run(clock, first, 0.0);
  clock.restart(500.0);
  EXPECT_EQ(clock.snapshot().state, clock_state::unknown);
  EXPECT_EQ(clock.snapshot().nominal_rate_hz, 500.0);
  trace_settings second;
  second.rate_hz = 500.0;
  second.ppm = 300.0;
  second.seed = 7;  // another host time origin
  second.duration_s = 30.0;
  const run_result r = run(clock, second, 2.0);
  EXPECT_LT(r.max_error_after, 0.25);
}

// A corrupt counter lies far below the line and is ignored; a counter that
// starts again for good is followed after a short while.
TEST(StreamClock, IgnoresACorruptCounterAndFollowsANewBasis) {
  stream_clock clock;
  clock.restart(250.0);
  trace_settings s;
  s.interval_ms = 7.5;
  s.duration_s = 30.0;
  arrival_trace trace(s);
  arrival a;
  std::int64_t last_arrival = 0;
  while (trace.next(a)) {
    clock.add_packet(a.counter, a.arrival_ns);
    last_arrival = a.arrival_ns;
  }
  const clock_line before = clock.snapshot().line;
  clock.add_packet(a.counter + 1'000'000u, last_arrival + 40'000'000);
  EXPECT_EQ(clock.snapshot().line.sample_ref, before.sample_ref);
  EXPECT_EQ(clock.snapshot().line.ns_per_sample, before.ns_per_sample);

  // The headset starts counting at 0 again: 16 refused packets, then a new clock.
  std::int64_t t = last_arrival;
  for (std::uint32_t k = 0; k < 400; ++k) {
    t += 40'000'000;
    clock.add_packet(k * 10u + 9u, t);
  }
  const clock_snapshot after = clock.snapshot();
  ASSERT_NE(after.state, clock_state::unknown);
  EXPECT_NEAR(after.line.sample_at(t), 399.0 * 10.0 + 9.0, 0.01);
}

// The same headset restarted (its counter from 0, a new phase against the
// radio) is placed from the first fit on as well as at the end of the last
// stream: the drift carries over. At 2000 ppm and a 30 ms interval a fresh
// fit is several samples off in its first seconds.
TEST(StreamClock, ARestartOfTheSameHeadsetKeepsItsDrift) {
  trace_settings s;
  s.ppm = 2000.0;
  s.interval_ms = 30.0;
  s.samples_per_packet = 50;
  s.delay_ms = 3.0;
  s.duration_s = 10.0;
  const auto restarted = [&](std::string_view first, std::string_view second, double second_rate, double pause_s) {
    stream_clock clock;
    clock.restart(250.0, first);
    trace_settings a = s;
    a.duration_s = 60.0;
    run(clock, a, 0.0);
    clock.restart(second_rate, second);
    trace_settings b = s;
    b.rate_hz = second_rate;
    b.seed = 9;
    b.host_start_ns = a.host_start_ns + static_cast<std::int64_t>((a.duration_s + pause_s) * 1e9);
    return run(clock, b, 1.5);
  };
  const run_result same = restarted("CY KESTREL 5", "CY KESTREL 5", 250.0, 5.0);
  EXPECT_LT(same.max_error_after, 1.0);
  // Another headset, another rate, a long pause: the first seconds are the fresh fit's.
  for (const run_result& fresh : {restarted("CY KESTREL 5", "CY KESTREL 6", 250.0, 5.0),
                                  restarted("CY KESTREL 5", "CY KESTREL 5", 500.0, 5.0),
                                  restarted("CY KESTREL 5", "CY KESTREL 5", 250.0, 700.0),
                                  restarted("", "", 250.0, 5.0)}) {
    EXPECT_GT(fresh.max_error_after, 1.5);
  }
}

}  // namespace
}  // namespace calyra::core::clock
