// Publishes a headset's samples on LSL: one stream per signal kind (see
// stream_metadata.h), every sample stamped with the stream clock's time of
// its acquisition.
//
// Timing: a sample's timestamp is the clock's host time of its sample number
// when it is pushed, as LSL seconds. Samples that arrive before the clock is
// known (the stream's first second) are held and pushed with their times
// once it is; at most max_held_seconds are held, older ones are dropped and
// counted (never pushed with a guessed or arrival time). Timestamps only
// grow: where the clock's estimate moved back between two pushes by more
// than the spacing of the samples, the new sample is stamped half a sample
// period after the previous one, and counted.
//
// Lost data: filler samples (streaming flag 0) are pushed as NaN in every
// channel, never as values that look like signal.
//
// Consumers: pushes never wait for them. Each consumer has its own buffer
// of max_buffered_seconds in liblsl; one that falls further behind loses its
// oldest samples, the recording and other consumers are not affected.
//
// Not thread-safe: one thread pushes (the one that handles the samples).
#pragma once

#include <cstdint>
#include <vector>

#include "lsl/handles.h"
#include "lsl/lsl_clock.h"
#include "lsl/stream_metadata.h"
#include "recording/sample_block.h"
#include "stream/sample_clock.h"

namespace calyra::lsl {

class sample_outlet {
 public:
  static constexpr double max_held_seconds = 10.0;
  static constexpr std::int32_t max_buffered_seconds = 60;

  // Creates the streams; they are visible on the network from now on.
  // Throws std::runtime_error when liblsl refuses to create one.
  sample_outlet(const api& library, const clock_link& clock_link, headset_streams_description description);

  // Pushes (or holds) the rows of `block`, whose signals are the
  // description's, in order; `clock` gives their times.
  void push(const recording::sample_block& block, const stream::sample_clock& clock);

  // The streams as created: name, type, uid.
  struct stream_identity {
    std::string name;
    std::string type;
    std::string uid;
  };
  const std::vector<stream_identity>& streams() const { return identities_; }

  std::uint64_t pushed() const { return pushed_; }
  std::uint64_t held() const { return held_numbers_.size(); }
  std::uint64_t dropped_unclocked() const { return dropped_unclocked_; }
  std::uint64_t timestamps_held_back() const { return held_back_; }
  bool have_consumers() const;

 private:
  struct kind_stream {
    stream_kind_plan plan;
    owned_outlet outlet;
    std::vector<float> values;  // held rows, channel-interleaved
  };

  void hold(const recording::sample_block& block);
  void drop_oldest(std::size_t rows);
  void release(const stream::sample_clock& clock);

  const api& library_;
  const clock_link& clock_link_;
  headset_streams_description description_;
  std::vector<kind_stream> streams_;
  std::vector<stream_identity> identities_;
  std::vector<std::uint64_t> held_numbers_;
  std::vector<double> timestamps_;
  std::vector<std::int64_t> host_times_;  // of the held samples, while they are released
  std::size_t max_held_rows_;
  double last_timestamp_ = 0.0;
  bool any_pushed_ = false;
  std::uint64_t pushed_ = 0;
  std::uint64_t dropped_unclocked_ = 0;
  std::uint64_t held_back_ = 0;
};

}  // namespace calyra::lsl
