// The times handed out for a stream's consecutive samples: a track that
// follows the stream clock's line but never steps. Each notification extends
// the track to its last sample by one straight segment; when the line has
// moved (a better fit), the segment's slope differs from the line's by at
// most max_slew, so the track moves onto the line gradually, as a slewing
// clock does, and consecutive times always increase by the sample period
// within that fraction. Once written, a segment never changes, so a sample's
// time is the same whenever and however often it is asked.
//
// One feeding thread calls reset and extend; readers call time_of under the
// owner's lock (the owner serialises them). Nothing allocates after
// construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "clock/clock_line.h"

namespace calyra::core::clock {

class published_times {
 public:
  // The slope of a segment differs from the line's by at most this fraction:
  // 10 ms per second of stream, 0.04 ms per sample at 250 Hz.
  static constexpr double max_slew = 0.01;
  // Segments kept (one per notification): minutes of stream at any rate.
  static constexpr std::size_t kept_segments = 8192;

  published_times();

  void reset();
  bool known() const { return count_ > 0; }
  // Extends the track to `last_sample` (no effect unless it lies beyond the
  // track's end), moving towards `line`. The first call starts the track on
  // the line at `first_sample`.
  void extend(std::int64_t first_sample, std::int64_t last_sample, const clock_line& line);
  // The published time of `sample` (ns, not rounded). Samples before the
  // oldest kept segment or after the newest continue the nearest segment.
  // Requires known().
  double time_of(std::int64_t sample) const;

 private:
  struct segment {
    std::int64_t sample = 0;  // where it begins
    double time_ns = 0.0;     // relative to origin_ns_
    double ns_per_sample = 0.0;
  };
  const segment& at(std::size_t i) const { return ring_[(head_ + i) % ring_.size()]; }

  std::vector<segment> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::int64_t origin_ns_ = 0;  // keeps the doubles small: ns precision over years
  std::int64_t end_sample_ = 0;
  double end_time_ns_ = 0.0;  // relative to origin_ns_
};

}  // namespace calyra::core::clock
