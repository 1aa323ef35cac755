// Markers from LSL marker streams (--lsl-markers QUERY) as an event source
// of the session: each is placed on every headset at the time it was sent
// (its LSL timestamp plus the inlet's measured clock offset), however late
// it arrives.
//
// Markers wait while a headset's stream clock is not known (the stream's
// first second): placing them by the start-of-stream estimate would put
// them on the wrong sample. Markers whose time falls outside what the run
// keeps (before its first sample, after its requested length) are not
// stored; they are counted and the summary reports them, as it does
// markers that were still waiting for the clock when the run ended.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lsl/marker_listener.h"
#include "session/event_source.h"

namespace calyra::sources {

class lsl_marker_source final : public session::event_source {
 public:
  // Why a marker at `host_time_ns` is outside the run on some headset
  // ("before the recording", ...), nullopt when every headset keeps it.
  using outside_check = std::function<std::optional<std::string>(std::int64_t host_time_ns)>;

  // Starts resolving at once, so that streams already running are
  // connected by the time the headsets stream. `clocks_known` tells
  // whether every headset's stream clock is known. Throws lsl::bad_query.
  lsl_marker_source(const lsl::api& library, const lsl::clock_link& link, std::vector<std::string> queries,
                    std::vector<std::string> excluded_uids, std::function<bool()> clocks_known,
                    outside_check outside);
  ~lsl_marker_source() override;

  void deliver(const session::place_event& place) override;
  void deliver_last(const session::place_event& place) override;

  struct tally {
    std::uint64_t received = 0;
    std::uint64_t placed = 0;
    std::uint64_t outside = 0;     // before the first sample or after the end
    std::uint64_t unplaced = 0;    // refused by a headset, or the clock never known
    std::vector<std::string> examples;  // the first few that were not stored, and why
  };
  tally counts() const;
  std::vector<std::string> summary() const override;
  std::vector<lsl::marker_source_record> sources() const { return listener_->sources(); }

 private:
  void place_waiting(const session::place_event& place, bool last);
  void not_stored(const lsl::received_marker& m, const std::string& why, std::uint64_t tally::*counter);

  std::function<bool()> clocks_known_;
  outside_check outside_;
  mutable std::mutex mutex_;
  std::deque<lsl::received_marker> waiting_;
  tally tally_;
  std::unique_ptr<lsl::marker_listener> listener_;
};

}  // namespace calyra::sources
