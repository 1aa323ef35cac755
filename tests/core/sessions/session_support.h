// Test helpers for sessions of one or more headsets through the C API: a
// manager streaming its sample numbers and electrode E1, the check that
// what arrived is the headset's own signal without a gap, and the number of
// threads the process runs.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cycore.h"
#include "manager/chunk_recorder.h"
#include "simulator/synthetic_signal.h"

namespace calyra::test {

using namespace std::chrono_literals;
using core::testing::chunk_recorder;

inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

inline std::int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Threads of this process now.
inline int thread_count() {
  int n = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') ++n;
    ::closedir(dir);
  }
  return n;
}

// Threads of this process before a test starts any: ThreadSanitizer's
// runtime adds a thread of its own when the first one is created.
inline int thread_baseline() {
  std::thread([] {}).join();
  return thread_count();
}

// Streams SAMPLE_NUMBER (chunk channel 0) and E1 at gain 8 (channel 1), and
// uploads that configuration. False (with a failure) when the upload fails.
inline bool configure_e1(cy_eeg_manager* m) {
  cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_SAMPLE_NUMBER, true);
  cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_ELECTRODE_MEASUREMENT, true);
  cy_eeg_manager_set_channel_gain(m, CY_CHANNEL_ELECTRODE_MEASUREMENT, CY_GAIN_X8);
  const cy_error e = cy_eeg_manager_load_config(m, nullptr, nullptr);
  EXPECT_EQ(e, CY_OK);
  return e == CY_OK;
}

// What `recorder` holds is the stream of the virtual headset with this seed
// and mains line at 250 Hz: sample numbers 0, 1, 2, ... without a gap, and
// E1 equal to that headset's signal (another headset's differs by several
// microvolts). Returns the number of samples.
inline std::size_t expect_own_gapless_stream(const chunk_recorder& recorder, std::uint64_t seed,
                                             double line_hz, const std::string& who) {
  const std::vector<double> numbers = recorder.channel(0);
  const std::vector<double> e1 = recorder.channel(1);
  EXPECT_EQ(numbers.size(), e1.size()) << who;
  const simulator::synthetic_signal signal(seed, line_hz);
  std::size_t wrong_number = 0, wrong_value = 0;
  for (std::size_t i = 0; i < std::min(numbers.size(), e1.size()); ++i) {
    if (numbers[i] != static_cast<double>(i)) ++wrong_number;
    if (std::fabs(e1[i] - signal.microvolts(0, i, 250.0)) > 0.5) ++wrong_value;
  }
  EXPECT_EQ(wrong_number, 0u) << who << ": samples out of sequence";
  EXPECT_EQ(wrong_value, 0u) << who << ": values of another signal";
  return numbers.size();
}

}  // namespace calyra::test
