// Test helper for the "photodiode" timing tests: a stream of a virtual
// headset with realistic timing, trigger pulses fired at known host times,
// found again in the recording (+300 uV on E1 against the known synthetic
// signal), and their placement by the manager's stream clock.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cycore.h"
#include "simulator/synthetic_signal.h"

namespace calyra::core::testing {

// PLOVER: 10 samples per packet at 250 Hz, a crystal 2000 ppm fast, a 30 ms
// connection interval and 3 ms of mean delay per connection event.
inline const char* timing_device =
    "CY PLOVER 4,model=3,clock_ppm=2000,interval_ms=30,delay_ms=3";
inline constexpr double timing_rate_hz = 250.0;
// KESTREL: 50 samples (200 ms) per packet at 250 Hz, at a connection interval
// the packet period is not a multiple of (their common step is 1.25 ms), with
// 1 ms of mean delay per connection event: at 5 packets a second the
// smallest delay seen in 2 s decides the placement, and at 3 ms it alone
// is a quarter sample. (At 30 ms the common step is 10 ms, 2.5 samples,
// which no clock sees through until the phase has swept.)
inline const char* timing_device_50 = "CY KESTREL 5,model=4,clock_ppm=2000,interval_ms=11.25,delay_ms=1";

// Host times (CLOCK_MONOTONIC ns) just before and just after one trigger call.
struct trigger_call {
  std::int64_t before_ns = 0;
  std::int64_t after_ns = 0;
  double placed_at = 0.0;  // the sample placed at before_ns right after the call, when asked
};

inline std::int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Fires `count` triggers through `fire` at random moments 250-750 ms apart;
// `place`, when given, runs right after each call (to place it online).
inline std::vector<trigger_call> fire_triggers(int count, const std::function<void()>& fire,
                                               const std::function<void(trigger_call&)>& place = {},
                                               unsigned seed = 20261208) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> gap_ms(250, 750);
  std::vector<trigger_call> calls;
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms(random)));
    trigger_call call;
    call.before_ns = monotonic_ns();
    fire();
    call.after_ns = monotonic_ns();
    if (place) place(call);
    calls.push_back(call);
  }
  return calls;
}

// First samples of the pulses in E1's microvolts (sample numbers alongside),
// against the headset's synthetic signal for seed 1 with 50 Hz mains.
inline std::vector<std::int64_t> find_pulses(const std::vector<double>& numbers,
                                             const std::vector<double>& microvolts) {
  const simulator::synthetic_signal signal(1, 50.0);
  std::vector<std::int64_t> starts;
  bool in_pulse = false;
  std::int64_t length = 0;
  for (std::size_t i = 0; i < numbers.size() && i < microvolts.size(); ++i) {
    const auto n = static_cast<std::int64_t>(numbers[i]);
    const double extra = microvolts[i] - signal.microvolts(0, static_cast<std::uint64_t>(n), timing_rate_hz);
    const bool high = extra > 150.0;
    if (high && !in_pulse) {
      starts.push_back(n);
      length = 0;
    }
    if (high) ++length;
    if (!high && in_pulse) {
      EXPECT_EQ(length, 10) << "pulse from sample " << starts.back();
    }
    in_pulse = high;
  }
  return starts;
}

// Each trigger lands on its pulse: the pulse starts at the first sample taken
// at or after the call, so the call's moment lies within the sample period
// before it; the clock places the moment within half a sample of that
// period (widened by how long the call took), and annotate_at stores it
// within one sample of the pulse's first sample.
inline void expect_triggers_on_pulses(cy_eeg_manager* m, const std::vector<trigger_call>& calls,
                                      const std::vector<std::int64_t>& pulses) {
  ASSERT_EQ(pulses.size(), calls.size());
  cy_eeg_manager_clear_annotations(m);
  std::vector<double> errors;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    double at = 0.0;
    ASSERT_EQ(cy_eeg_manager_sample_at(m, calls[i].before_ns, &at), CY_OK);
    ASSERT_EQ(cy_eeg_manager_annotate_at(m, "trigger", calls[i].before_ns), CY_OK);
    const double call_samples = static_cast<double>(calls[i].after_ns - calls[i].before_ns) * 1e-9 * timing_rate_hz;
    const auto p = static_cast<double>(pulses[i]);
    EXPECT_GE(at, p - 1.5 - call_samples) << "trigger " << i;
    EXPECT_LE(at, p + 0.5) << "trigger " << i;
    errors.push_back(at - (p - 0.5));  // against the middle of the period before the pulse
  }
  cy_annotation* notes = nullptr;
  std::size_t count = 0;
  cy_eeg_manager_get_annotations(m, &notes, &count);
  ASSERT_EQ(count, calls.size());
  for (std::size_t i = 0; i < count; ++i) {
    const double call_samples = static_cast<double>(calls[i].after_ns - calls[i].before_ns) * 1e-9 * timing_rate_hz;
    EXPECT_GE(notes[i].sample_number, pulses[i] - 1 - static_cast<std::int64_t>(std::ceil(call_samples)))
        << "trigger " << i;
    EXPECT_LE(notes[i].sample_number, pulses[i] + 1) << "trigger " << i;
  }
  std::string report;
  double longest_call_ms = 0.0;
  for (std::size_t i = 0; i < errors.size(); ++i) {
    char text[16];
    std::snprintf(text, sizeof text, " %+.2f", errors[i]);
    report += text;
    longest_call_ms = std::max(longest_call_ms, static_cast<double>(calls[i].after_ns - calls[i].before_ns) / 1e6);
  }
  std::printf("trigger placement minus the middle of the period before each pulse, in samples:%s\n"
              "longest trigger call: %.3f ms\n",
              report.c_str(), longest_call_ms);
}

// Online placements: each trigger, placed by the clock as it stood right
// after the call, lies within one sample of the middle of the period before
// its pulse (widened by how long the call took, and by a quarter sample for
// a notification thread that a loaded machine ran late: the clock then sees
// arrivals later than the radio delivered them, which no estimate can undo).
// Under a sanitizer every thread of the test, the bus and the fake headset
// runs several times slower, and a first fit after a restart was seen 0.3
// sample beyond the quarter: there the allowance is three quarters.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr double loaded_host_samples = 0.75;
#else
inline constexpr double loaded_host_samples = 0.25;
#endif
inline void expect_placed_online(const std::vector<trigger_call>& calls, const std::vector<std::int64_t>& pulses,
                                 const char* what) {
  ASSERT_EQ(pulses.size(), calls.size()) << what;
  std::string report;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const double call_samples = static_cast<double>(calls[i].after_ns - calls[i].before_ns) * 1e-9 * timing_rate_hz;
    const auto p = static_cast<double>(pulses[i]);
    EXPECT_GE(calls[i].placed_at, p - 1.5 - call_samples - loaded_host_samples) << what << " trigger " << i;
    EXPECT_LE(calls[i].placed_at, p + 0.5) << what << " trigger " << i;
    char text[16];
    std::snprintf(text, sizeof text, " %+.2f", calls[i].placed_at - (p - 0.5));
    report += text;
  }
  std::printf("%s: online placement minus the middle of the period before each pulse, in samples:%s\n", what,
              report.c_str());
}

}  // namespace calyra::core::testing
