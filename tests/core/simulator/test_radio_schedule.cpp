// The headset's sample clock and the radio between it and the host, on
// simulated time: drift, connection events, delays, stalls, and the defaults
// that leave every packet's time as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "simulator/radio_schedule.h"
#include "simulator/sample_clock.h"

namespace {

using namespace calyra::simulator;
using namespace std::chrono_literals;

const clock::time_point t0 = clock::time_point(1000s);

double seconds(clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Packets of 10 samples at 250 Hz, ready every 40 ms from t0 + 40 ms.
std::vector<clock::time_point> ready_times(int count) {
  std::vector<clock::time_point> out;
  for (int k = 1; k <= count; ++k) out.push_back(t0 + k * 40ms);
  return out;
}

std::vector<clock::time_point> arrivals(radio_schedule& radio, const std::vector<clock::time_point>& ready) {
  std::vector<clock::time_point> out;
  for (const auto r : ready) out.push_back(radio.arrival(r));
  return out;
}

TEST(SampleClock, AFastCrystalTakesItsSamplesSoonerAndASlowOneLater) {
  const std::uint64_t n = 250'000;  // 1000 s at 250 Hz
  for (const double ppm : {0.0, 2000.0, -300.0}) {
    sample_clock headset(ppm);
    headset.start(t0, 0, 250.0);
    const double took = seconds(headset.taken_at(n - 1) - t0);
    EXPECT_NEAR(took, 1000.0 / (1.0 + ppm * 1e-6), 1e-6) << ppm;
    EXPECT_NEAR(took, 1000.0 * (1.0 - ppm * 1e-6), 0.005) << ppm;
    // The sample taken at a moment is the first at or after it.
    const clock::time_point at = headset.taken_at(1234);
    EXPECT_EQ(headset.first_taken_at_or_after(at), 1234u);
    EXPECT_EQ(headset.first_taken_at_or_after(at + 1ns), 1235u);
    EXPECT_EQ(headset.first_taken_at_or_after(t0 - 1s), 0u);
  }
}

TEST(SampleClock, ARateChangeKeepsTheTimesOfEarlierSamples) {
  sample_clock headset(0.0);
  headset.start(t0, 100, 250.0);
  EXPECT_EQ(headset.taken_at(100), t0 + 4ms);  // one period after the start
  const clock::time_point last_slow = headset.taken_at(149);
  headset.change_rate(150, 500.0);
  EXPECT_EQ(headset.taken_at(149), last_slow);
  EXPECT_EQ(headset.taken_at(150), last_slow + 2ms);
}

TEST(RadioSchedule, DefaultsDeliverEachPacketWhenReady) {
  radio_schedule radio({});
  radio.link_up(t0);
  const auto ready = ready_times(100);
  EXPECT_EQ(arrivals(radio, ready), ready);
}

TEST(RadioSchedule, PacketsWaitForTheNextConnectionEventAndLeaveTogether) {
  radio_schedule radio({30.0, 0.0, 0.0, 1});
  radio.link_up(t0);
  // Ready at 40, 80, 120, 160 ms: events at 60, 90, 120, 180.
  EXPECT_EQ(radio.arrival(t0 + 40ms), t0 + 60ms);
  EXPECT_EQ(radio.arrival(t0 + 80ms), t0 + 90ms);
  EXPECT_EQ(radio.arrival(t0 + 120ms), t0 + 120ms);  // ready at an event: leaves with it
  EXPECT_EQ(radio.arrival(t0 + 160ms), t0 + 180ms);
  // Several packets ready within one interval share its event.
  EXPECT_EQ(radio.arrival(t0 + 181ms), t0 + 210ms);
  EXPECT_EQ(radio.arrival(t0 + 195ms), t0 + 210ms);
  EXPECT_EQ(radio.arrival(t0 + 209ms), t0 + 210ms);
}

TEST(RadioSchedule, DelaysAreOneSidedOnePerEventAndKeepTheOrder) {
  radio_schedule radio({7.5, 3.0, 0.0, 42});
  radio.link_up(t0);
  const auto ready = ready_times(5000);
  const auto got = arrivals(radio, ready);
  double total_ms = 0.0;
  for (std::size_t i = 0; i < ready.size(); ++i) {
    ASSERT_GE(got[i], ready[i]) << i;
    if (i > 0) {
      ASSERT_GE(got[i], got[i - 1]) << i;
    }
    // The event is the first at or after the ready moment; the delay comes on top.
    const auto event_ns = (ready[i] - t0).count() + 7'499'999;
    const clock::time_point event = t0 + clock::duration(event_ns / 7'500'000 * 7'500'000);
    ASSERT_GE(got[i], event) << i;
    total_ms += std::chrono::duration<double, std::milli>(got[i] - event).count();
  }
  EXPECT_NEAR(total_ms / static_cast<double>(ready.size()), 3.0, 0.3);  // the mean delay

  // The same seed gives the same times, another seed others.
  radio_schedule same({7.5, 3.0, 0.0, 42}), other({7.5, 3.0, 0.0, 43});
  same.link_up(t0);
  other.link_up(t0);
  EXPECT_EQ(arrivals(same, ready), got);
  EXPECT_NE(arrivals(other, ready), got);
}

TEST(RadioSchedule, AStallHoldsPacketsAndReleasesThemInOneBurst) {
  radio_schedule radio({30.0, 0.0, 1.0, 5});  // a stall per second on average
  radio.link_up(t0);
  const auto ready = ready_times(1500);  // 60 s
  const auto got = arrivals(radio, ready);
  int stalls = 0;
  for (std::size_t i = 1; i < got.size(); ++i) {
    ASSERT_GE(got[i], got[i - 1]);
    const auto gap = got[i] - got[i - 1];
    if (gap <= 70ms) continue;  // at most two packets' time plus an interval without one
    ++stalls;
    // At least 100 ms without an arrival (two stalls may follow each other),
    // then everything held arrives at once.
    EXPECT_GE(gap, 100ms) << i;
    std::size_t burst = 1;
    while (i + burst < got.size() && got[i + burst] == got[i]) ++burst;
    EXPECT_GE(burst, 2u) << "after the stall ending at packet " << i;
    EXPECT_GE(got[i] - ready[i], 60ms) << i;  // the first held one waited for the radio
  }
  EXPECT_GE(stalls, 35);
  EXPECT_LE(stalls, 85);
}

}  // namespace
