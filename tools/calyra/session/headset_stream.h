// One headset's stream for the length of a run: open (connect, check the
// options against the model, send the configuration), start, the chunk
// queue, the stream clock, the tally of what arrived (samples, lost packets,
// quality), placing events by the stream clock, stop and close. Each step
// is its own call, so that a lost link can be met by closing and opening
// again on the same tally and clock axis.
//
// Threading: the chunk and disconnect callbacks run on the library's BLE
// thread and only copy into the queue; everything else runs on the
// session's thread.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/headset.h"
#include "display/status_display.h"
#include "filtering/signal_filters.h"
#include "recording/sample_block.h"
#include "session/event_source.h"
#include "session/sink.h"
#include "stream/chunk_queue.h"
#include "stream/manager_clock.h"
#include "stream/recording_pipeline.h"
#include "stream/stream_channels.h"

namespace calyra::session {

// What to stream from one headset.
struct headset_settings {
  std::string device;               // the name it advertises
  unsigned rate_hz = 250;           // 250 or 500
  unsigned gain = 8;                // 1, 2, 4, 6, 8 or 12
  std::vector<unsigned> electrodes; // 1-based; empty: all
  bool contact = false;
  bool accel = false;
  bool impedance = false;
  double seconds = 0.0;             // length to keep; 0: until stopped
  filtering::filter_settings grading; // filters applied to what is graded
};

// Where an event landed on one headset.
struct placement {
  bool stored = false;
  std::int64_t sample = 0;
  std::string text;     // as stored
  std::string message;  // the line to show
};

class headset_stream {
 public:
  explicit headset_stream(headset_settings settings);
  ~headset_stream();  // close()

  headset_stream(const headset_stream&) = delete;
  headset_stream& operator=(const headset_stream&) = delete;

  // Connects, checks the options against the model, plans the signals and
  // sends the configuration. Throws app::command_failure. The clock and the
  // tally are made by the first open and kept for the whole run (sinks
  // hold on to them); the clock reads the manager of the first open.
  void open();
  // Starts the stream; chunks queue up from here on. Throws app::command_failure.
  void start();
  // Hands the queued chunks to the tally and to `sinks` (up to `wait` for
  // the first). The first sink failure is kept in `failure`/`failed`.
  // Returns false when the queue was empty.
  bool take_rows(std::chrono::milliseconds wait);
  // Places `event` by the stream clock (fallbacks while it is not known),
  // stores it in the tally and hands it to the sinks.
  placement place(const timed_event& event);
  // Stops the stream, letting a second Ctrl-C give up waiting for a headset
  // that does not answer. nullopt: abandoned (the stop still runs inside
  // the library; the headset must not be touched again).
  std::optional<cy_error> stop();
  // Disconnects and frees the manager. Idempotent.
  void close();

  void add_sink(std::unique_ptr<sink> s) { sinks_.push_back(std::move(s)); }
  std::vector<std::unique_ptr<sink>>& sinks() { return sinks_; }

  const headset_settings& settings() const { return settings_; }
  const device::headset& device() const { return *headset_; }
  cy_eeg_manager* handle() const { return headset_->handle(); }
  const stream::stream_plan& plan() const { return context_->plan; }
  const stream::manager_clock& clock() const { return *clock_; }
  stream::recording_pipeline& tally() { return *tally_; }
  const stream::recording_pipeline& tally() const { return *tally_; }
  bool link_lost() const { return context_->link_lost; }
  // Packets lost within what was kept, from the library's stream counts.
  std::uint64_t missed_packets() const;
  // Samples per lost packet of the running stream, 0 while none was lost.
  std::uint64_t samples_per_lost_packet() const;
  // What the display and the live view show of it now.
  display::stream_status status();
  std::vector<display::electrode_status> electrode_statuses();
  // "CY KESTREL 5 (KESTREL)"
  std::string title() const;

  // The first sink failure, empty: none.
  const std::string& failure() const { return failure_; }
  const sink* failed_sink() const { return failed_; }
  // Keeps the first failure; a failure at the end replaces its own sink's
  // earlier one (it says what the finished output holds).
  void note_failure(const sink& s, const std::string& what, bool at_end = false);
  // Finishes every sink, in the order they were added.
  void finish_sinks(const run_end& end);

  // Shared with the BLE thread.
  struct context {
    stream::stream_plan plan;
    cy_eeg_manager* manager = nullptr;
    stream::chunk_queue queue{256};
    std::atomic<bool> link_lost{false};
  };

 private:
  void feed(const recording::sample_block& rows);

  headset_settings settings_;
  // Outlives the headset: its callbacks point here.
  std::unique_ptr<context> context_ = std::make_unique<context>();
  std::unique_ptr<device::headset> headset_;
  std::unique_ptr<stream::manager_clock> clock_;
  std::unique_ptr<stream::recording_pipeline> tally_;
  std::vector<std::unique_ptr<sink>> sinks_;
  std::deque<recording::sample_block> pending_;
  std::string failure_;
  const sink* failed_ = nullptr;
};

}  // namespace calyra::session
