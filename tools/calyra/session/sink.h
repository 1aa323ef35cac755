// Where a headset's stream goes: the recording, the live view, and any
// other consumer of decoded samples and placed events. Each headset stream
// has its own sinks; the session feeds them in the order they were added.
//
// Threading: every call runs on the session's thread, in stream order. A
// sink must not hold the session up: one that writes to something that can
// stall (a network peer, a browser) hands a copy to its own thread through
// a bounded queue and drops from that queue, counting what it dropped,
// rather than wait (the live view does so). Writing local files in the
// call is fine: that is what the recording does.
//
// Failure: a sink throws sink_failure (or recording::recording_error) from
// rows(), event(), tick() or finish(). The session keeps the first failure, ends
// the run at the end of that pass with the sink's failure_reason(), reports
// the failure's text as the error and exits with status 1. A sink that
// failed is still called (rows, events, finish): it decides what it can
// still keep, so that a recording whose disk filled still closes readable.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "recording/sample_block.h"

namespace calyra::session {

class sink_failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An event as placed on one headset's stream.
struct placed_event {
  std::int64_t sample = 0;        // stream sample number it was placed at
  std::int64_t host_time_ns = 0;  // CLOCK_MONOTONIC when it happened
  std::string text;               // as stored: valid UTF-8, no control characters
  std::string source;             // who sent it
};

struct run_end {
  std::string stop_reason;  // empty: the requested length was reached
};

class sink {
 public:
  virtual ~sink() = default;

  // Rows as counted and graded: unfiltered, cut at the requested length,
  // numbered by stream sample, with filler rows (streaming 0) for lost
  // samples. Their host times come from the headset stream's clock.
  virtual void rows(const recording::sample_block& rows) = 0;
  virtual void event(const placed_event& event) = 0;
  // The filler rows given next, up to the next decoded row, stand for a
  // link outage described by `text` (they are not lost packets).
  virtual void label_next_gap(const std::string& /*text*/) {}
  // Once per pass, after the rows and events of that pass.
  virtual void tick() {}
  // Once, after the stream stopped and its last rows were given.
  virtual void finish(const run_end& end) = 0;

  // The stop reason when this sink fails ("the file could not be written").
  virtual std::string failure_reason() const = 0;
  // Files it wrote, for the summary (after finish()).
  virtual std::vector<std::string> files() const { return {}; }
  // What it could not keep as given, for the summary (after finish()).
  virtual std::vector<std::string> remarks() const { return {}; }
};

}  // namespace calyra::session
