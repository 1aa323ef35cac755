// A link loss during a run, as the recording keeps it: where on the file's
// sample axis the filled samples begin, how long the headset was gone (host
// time between the last sample before and the first after) and how many
// attempts it took to get it back.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

namespace calyra::session {

struct link_outage {
  std::uint64_t first_filled = 0;  // stream sample number (file axis) of the first filled sample
  std::int64_t lost_host_ns = 0;   // CLOCK_MONOTONIC when the loss was seen
  double seconds = 0.0;            // last sample before to first sample after; while down: so far
  std::uint64_t filled = 0;        // samples filled
  unsigned attempts = 0;           // connection attempts
  bool recovered = false;          // false: the run ended while the headset was gone
};

// The text of the annotation spanning an outage's filled samples; analysis
// tools skip spans whose text starts with "BAD".
inline constexpr const char* link_lost_text = "BAD link lost";

// The wait before reconnection attempt `attempt` (1-based): at once, then
// doubling from half a second up to five, so a headset back within seconds
// is picked up within seconds and one gone for an hour is not hammered.
inline std::chrono::milliseconds reconnect_backoff(unsigned attempt) {
  if (attempt <= 1) return std::chrono::milliseconds(0);
  const unsigned doublings = attempt - 2 < 4 ? attempt - 2 : 4;
  return std::chrono::milliseconds(std::min<long>(5000, 500L << doublings));
}

}  // namespace calyra::session
