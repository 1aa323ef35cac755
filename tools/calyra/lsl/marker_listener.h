// Receives markers from LSL marker streams: for each query, keeps resolving
// for as long as it runs (a stimulus program may start later, or restart),
// opens every matching stream it finds, and hands each marker on with the
// host time it was sent at: its LSL timestamp plus the inlet's clock offset
// (lsl_time_correction, re-measured as the run goes on), so that a marker
// from another machine is placed on the sample acquired at that moment.
//
// Markers keep their original timestamps however late they arrive. Any
// channel format is accepted: numbers arrive as their text, and a marker of
// several channels as its channels joined by ", ".
//
// A stream that restarts comes back under a new uid and is opened again;
// the old inlet ends when its stream is lost. A marker sent before calyra
// has connected to the stream is not received (LSL delivers only what is
// pushed while an inlet is connected): a stimulus program waits for its
// consumers first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lsl/lsl_api.h"
#include "lsl/lsl_clock.h"

namespace calyra::lsl {

struct received_marker {
  std::int64_t host_time_ns = 0;  // CLOCK_MONOTONIC ns at which the sender stamped it
  std::string text;
  std::string source;  // the name of the stream it came from
};

// A stream that a query found, as the run's record keeps it.
struct marker_source_record {
  std::string query;  // the first query that found it
  std::string name;
  std::string type;
  std::string source_id;
  std::string hostname;
  std::string uid;
  bool offset_known = false;
  double clock_offset_s = 0.0;  // the last value of lsl_time_correction
  std::uint64_t markers = 0;    // received
  bool connected = false;       // false once the stream was lost (or the listener stopped)
};

class marker_listener {
 public:
  using deliver_function = std::function<void(const received_marker&)>;

  // Starts resolving at once. `deliver` runs on the listener's threads, one
  // call at a time; it must not call stop(). Streams whose uid is in
  // `excluded_uids` are ignored (calyra's own marker stream).
  // Throws bad_query (marker_query.h) for a query that cannot be resolved.
  marker_listener(const api& library, const clock_link& clock_link, std::vector<std::string> queries,
                  deliver_function deliver, std::vector<std::string> excluded_uids = {});
  ~marker_listener();
  marker_listener(const marker_listener&) = delete;
  marker_listener& operator=(const marker_listener&) = delete;

  // Stops resolving and receiving; returns once no further marker can be
  // delivered (within about half a second). Idempotent.
  void stop();

  // Every stream found so far, in the order found.
  std::vector<marker_source_record> sources() const;

  // How long a resolved stream may go unseen before LSL forgets it, and how
  // often the listener looks for new ones.
  static constexpr double forget_after_seconds = 5.0;
  static constexpr int resolve_every_ms = 200;

 private:
  struct worker;

  void resolve_loop(std::vector<std::string> predicates, std::vector<std::string> queries);
  void receive(worker& w);
  void update(std::size_t index, const std::function<void(marker_source_record&)>& change);

  const api& library_;
  const clock_link& clock_link_;
  deliver_function deliver_;
  std::vector<std::string> excluded_;
  std::atomic<bool> stopping_{false};
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  std::mutex deliver_mutex_;
  mutable std::mutex records_mutex_;
  std::vector<marker_source_record> records_;
  std::list<std::unique_ptr<worker>> workers_;  // the resolving thread's own
  std::thread resolver_;
  std::once_flag stopped_;
};

}  // namespace calyra::lsl
