// One headset's stream for the length of a run: open (connect, check the
// options against the model, send the configuration), start, the chunk
// queue, the stream clock, the tally of what arrived (samples, lost packets,
// quality), placing events by the stream clock, stop and close.
//
// A lost link is met by connecting again (look_after_link): the same
// configuration, a new stream, and its samples placed on the recording's
// axis where the two stream clocks put them (cy_stream_resume_position);
// the samples between are filled and marked as one link outage.
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
#include "session/link_outage.h"
#include "session/reconnect_attempt.h"
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
  // How long to try to get a lost link back: < 0 for the rest of the run,
  // 0 to end the run at the loss.
  double reconnect_timeout = -1.0;
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

  // Once per pass: notices a lost link and gets it back (scan, connect,
  // configure, start, with backoff; the new stream's first rows wait until
  // they can be placed). Returns why the run must end: the headset did not
  // come back in time, or came back as another model, electrode count or
  // rate; empty to go on. With reconnect_timeout 0 a loss is left to
  // link_lost().
  std::string look_after_link();
  // True from the loss until the new stream's samples are placed.
  bool reconnecting() const { return link_ != link_state::up; }
  // The outages so far, the one in progress last (not recovered).
  std::vector<link_outage> outages() const;
  // How many outages are over (cheap, for a check every pass).
  std::size_t outages_over() const { return outages_.size(); }
  // An attempt was left running at the end (Ctrl-C while connecting): the
  // program must end without closing the library.
  bool abandoned_attempt() const { return abandoned_; }

  void add_sink(std::unique_ptr<sink> s) { sinks_.push_back(std::move(s)); }
  std::vector<std::unique_ptr<sink>>& sinks() { return sinks_; }

  const headset_settings& settings() const { return settings_; }
  const device::headset& device() const { return *headset_; }
  cy_eeg_manager* handle() const { return headset_->handle(); }
  const stream::stream_plan& plan() const { return context_->plan; }
  const stream::manager_clock& clock() const { return *clock_; }
  stream::recording_pipeline& tally() { return *tally_; }
  const stream::recording_pipeline& tally() const { return *tally_; }
  // The link dropped and is not being reconnected (reconnect_timeout 0).
  bool link_lost() const { return context_->link_lost && link_ == link_state::up; }
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
    std::atomic<cy_eeg_manager*> manager{nullptr};
    stream::chunk_queue queue{256};
    std::atomic<bool> link_lost{false};
  };

 private:
  enum class link_state { up, down, resuming };

  void feed(const recording::sample_block& rows);
  void begin_outage();
  void start_attempt();
  std::unique_ptr<device::headset> reconnect() const;
  std::string take_attempt();
  std::string place_resumed(bool without_clock);
  cy_error place_by_clock(cy_eeg_manager* m, const timed_event& event, placement& p, std::string& note);
  void fill_outage(std::uint64_t count);
  std::int64_t sample_by_host_time(std::int64_t host_time_ns) const;

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

  // The link and its outages.
  link_state link_ = link_state::up;
  std::int64_t offset_ = 0;             // the running stream's sample 0 on the recording's axis
  std::uint16_t model_ = 0;             // what the headset must come back as
  unsigned electrode_count_ = 0;
  double axis_rate_hz_ = 0.0;           // measured rate of the stream before the loss
  std::int64_t last_sample_ = -1;       // axis number of the last sample before the loss, -1: none
  std::int64_t last_host_ns_ = 0;       // its host time
  std::optional<link_outage> outage_;   // in progress
  std::vector<link_outage> outages_;    // over
  std::unique_ptr<reconnect_attempt> attempt_;
  std::chrono::steady_clock::time_point next_attempt_;
  std::optional<std::chrono::steady_clock::time_point> give_up_;
  std::deque<recording::sample_block> resumed_;    // the new stream's rows, not yet placed
  std::int64_t first_arrival_ns_ = 0;   // when its first rows were taken
  std::chrono::steady_clock::time_point resumed_at_;
  bool abandoned_ = false;
};

}  // namespace calyra::session
