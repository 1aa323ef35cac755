// Where annotations come from during a stream: lines typed on standard
// input, the live view's box, and any other source of timed text. The
// session asks every source once per pass for what arrived and places each
// event on every headset by that headset's stream clock.
//
// Threading: a source may collect on its own threads (a reader, a server),
// but deliver() and deliver_last() run on the session's thread only, and
// `place` must be called from inside them. Nothing a source does may block
// the session for long: hand over what is there and return.
//
// Failure: a source that cannot go on stops delivering; it never throws out
// of deliver(). What it could not take it reports itself (through the
// outcome it got, to whoever sent the event).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace calyra::session {

struct timed_event {
  std::int64_t host_time_ns = 0;  // CLOCK_MONOTONIC when the event happened
  std::string text;               // as received: the session cleans it for storage
  std::string source;             // who sent it ("stdin", "view", ...), for messages
};

struct event_outcome {
  bool stored = false;
  std::string message;  // the line shown for it ("annotation ... at sample ...", or why not)
};

// Places one event on every headset and says how it went.
using place_event = std::function<event_outcome(const timed_event&)>;

class event_source {
 public:
  virtual ~event_source() = default;

  // Once, when every headset streams: a source that reads starts here, so
  // that nothing it takes is older than the stream.
  virtual void begin() {}
  // Once per pass: hands each event that arrived since the last call to
  // `place`, oldest first.
  virtual void deliver(const place_event& place) = 0;
  // Once when the run ends, before the headsets stop: what arrived until
  // then still belongs to the recording.
  virtual void deliver_last(const place_event& place) { deliver(place); }
  // Lines for the run's summary (after deliver_last), empty: nothing to say.
  virtual std::vector<std::string> summary() const { return {}; }
};

}  // namespace calyra::session
