// One run of `calyra stream`: its headset streams (each with its sinks),
// the event sources, the stop rules, the terminal display and the summary.
// The run is a loop of named steps; one place decides when it ends and why.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "session/event_source.h"
#include "session/headset_stream.h"

namespace calyra::session {

class terminal_display;

struct session_settings {
  double seconds = 0.0;         // requested length, 0: until Ctrl-C
  double stall_timeout = 5.0;   // seconds without a decoded sample before giving up, 0: never
  std::string recording_path;   // where what arrived is kept, for the error lines; empty: not kept
};

class stream_session {
 public:
  explicit stream_session(session_settings settings) : settings_(std::move(settings)) {}

  // Opens the headset (see headset_stream::open) and adds it.
  headset_stream& add_headset(headset_settings settings);
  void add_source(std::unique_ptr<event_source> source) { sources_.push_back(std::move(source)); }
  std::vector<std::unique_ptr<headset_stream>>& headsets() { return headsets_; }
  // A terminal echoed `count` typed lines below the live block.
  void lines_echoed(int count);

  // Starts every headset, streams until a stop rule fires, stops, finishes
  // the sinks and prints the summary. Returns the exit status, or throws
  // the failure for the error line.
  int run();

 private:
  struct outcome;
  class pass;

  outcome stream_until_stopped(terminal_display& screen);
  std::optional<cy_error> stop_headsets(const outcome& out);
  // What the display shows: one status per headset, named when there are several.
  std::vector<display::stream_status> statuses();
  void finish(terminal_display& screen, outcome& out);
  void print_summary(headset_stream& h, const outcome& out);
  int exit_status(const outcome& out);
  // The status of a run that ends normally, or the failure thrown for its error line.
  int verdict(const outcome& out);

  session_settings settings_;
  std::vector<std::unique_ptr<headset_stream>> headsets_;
  std::vector<std::unique_ptr<event_source>> sources_;
  terminal_display* screen_ = nullptr;  // while run() runs
};

}  // namespace calyra::session
