// The times published for consecutive samples: asked as a host asks them
// (each notification's samples once it has arrived) over a drifting, bursty
// stream whose fit keeps improving, they increase by the sample period
// within the slew limit, never step, and stay on the true times.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "arrival_trace.h"
#include "clock/stream_clock.h"

namespace calyra::core::clock {
namespace {

using timing::arrival;
using timing::arrival_trace;
using timing::trace_settings;

TEST(PublishedTimes, IncreaseWithoutStepsAndStayOnTheTruth) {
  trace_settings s;
  s.rate_hz = 250.0;
  s.samples_per_packet = 10;
  s.ppm = 2000.0;
  s.interval_ms = 30.0;
  s.delay_ms = 3.0;
  s.loss = 0.02;
  s.stalls_per_s = 0.2;
  s.duration_s = 60.0;
  arrival_trace trace(s);
  stream_clock clock;
  clock.restart(250.0);
  std::vector<std::int64_t> times(10);
  std::int64_t previous_sample = -1, previous_time = 0;
  double largest_step_error_ms = 0.0, largest_error_after_10s = 0.0;
  double line_moved_ms = 0.0;
  double first_line_time = 0.0;
  bool first_line = true;
  arrival a;
  while (trace.next(a)) {
    clock.add_packet(a.counter, a.arrival_ns);
    const std::int64_t first = a.sample - 9;
    if (!clock.published_times_of(first, times.size(), times.data())) continue;
    const clock_snapshot snap = clock.snapshot();
    if (first_line) {
      first_line_time = snap.line.time_of(0.0);
      first_line = false;
    }
    line_moved_ms = std::max(line_moved_ms, std::fabs(snap.line.time_of(0.0) - first_line_time) / 1e6);
    for (std::size_t i = 0; i < times.size(); ++i) {
      const std::int64_t sample = first + static_cast<std::int64_t>(i);
      if (sample <= previous_sample) continue;  // asked before: the same answer is checked below
      if (previous_sample >= 0) {
        const double step_ns = static_cast<double>(times[i] - previous_time) /
                               static_cast<double>(sample - previous_sample);
        ASSERT_GT(step_ns, 0.0) << sample;
        largest_step_error_ms = std::max(largest_step_error_ms, std::fabs(step_ns - 4e6) / 1e6);
      }
      const double t_s = (static_cast<double>(a.arrival_ns) - trace.first_sample_ns()) / 1e9;
      if (t_s >= 10.0) {
        const double error = std::fabs(static_cast<double>(times[i]) - trace.true_time_of(static_cast<double>(sample)));
        largest_error_after_10s = std::max(largest_error_after_10s, error / 4e6);
      }
      previous_sample = sample;
      previous_time = times[i];
    }
  }
  EXPECT_GT(line_moved_ms, 4.0);  // the fit did improve: there was something to slew
  EXPECT_LT(largest_step_error_ms, 0.1);
  EXPECT_LT(largest_error_after_10s, 1.0);
  // A sample's time, once published, does not change as the line moves on.
  std::int64_t again = 0;
  ASSERT_TRUE(clock.published_times_of(previous_sample, 1, &again));
  EXPECT_EQ(again, previous_time);
}

TEST(PublishedTimes, NothingBeforeTheClockIsKnownAndAFreshTrackAfterARestart) {
  stream_clock clock;
  clock.restart(250.0);
  std::int64_t t = 0;
  EXPECT_FALSE(clock.published_times_of(0, 1, &t));
  trace_settings s;
  s.duration_s = 5.0;
  arrival_trace trace(s);
  arrival a;
  while (trace.next(a)) clock.add_packet(a.counter, a.arrival_ns);
  ASSERT_TRUE(clock.published_times_of(0, 1, &t));
  EXPECT_NEAR(static_cast<double>(t), trace.true_time_of(0.0), 8e6);
  clock.restart(250.0);
  EXPECT_FALSE(clock.published_times_of(0, 1, &t));
}

}  // namespace
}  // namespace calyra::core::clock
