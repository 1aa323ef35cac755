// The screen while streaming: on a terminal, the live status block redrawn
// four times a second, with the library's own lines (lost packets, ...)
// printed above it; in a pipe, one status line per second of stream, with
// the library's lines passing through unchanged.
//
// The library's standard-output diagnostics stay on: the configuration
// record ("Configs(...)") and the gap lines ("...|||||MISSED|||||...") are
// part of what calyra prints, in the library's own words, and neither can
// be rebuilt from the stream counts and chunks (the record is only in the
// library, and late or repeated packets appear in no chunk). So standard
// output is captured while the block is drawn, and only then.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "display/output_capture.h"
#include "display/status_display.h"

namespace calyra::session {

class terminal_display {
 public:
  // Starts capturing the library's standard output when it is a terminal.
  explicit terminal_display(unsigned rate_hz);

  bool terminal() const { return terminal_; }
  void message(const std::string& line) { view_.message(line); }
  // The terminal echoed `count` typed lines below the block.
  void lines_echoed(int count) { view_.lines_echoed(count); }
  // Prints the library's lines captured since the last call.
  void show_library_lines();
  // Redraws when due: `samples` is what the stream has kept so far. While
  // `link_down`, plain output gets a line a second of host time instead (no
  // sample comes to count them by).
  template <typename status_of>
  void refresh(std::uint64_t samples, bool link_down, const status_of& status) {
    const auto now = std::chrono::steady_clock::now();
    if (terminal_ && now >= next_redraw_) {
      view_.show(status());
      next_redraw_ = now + std::chrono::milliseconds(250);
    } else if (!terminal_ && (samples >= next_line_at_ || (link_down && now >= next_down_line_))) {
      view_.show(status());
      shown_samples_ = samples;
      next_down_line_ = now + std::chrono::seconds(1);
      while (next_line_at_ <= samples) next_line_at_ += rate_hz_;
    }
  }
  // The final state: a terminal shows it; plain output has its last line
  // already unless samples arrived after it. Later output starts below.
  template <typename status_of>
  void finish(std::uint64_t samples, const status_of& status) {
    if (terminal_ || samples != shown_samples_) view_.show(status());
    view_.finish();
  }
  // Puts standard output back and returns the library's lines still captured.
  std::vector<std::string> restore() { return capture_.restore(); }

 private:
  bool terminal_;
  // The library's own lines go above the live block; in a pipe they pass
  // through unchanged.
  display::output_capture capture_;
  display::status_display view_;
  unsigned rate_hz_;
  std::chrono::steady_clock::time_point next_redraw_ = std::chrono::steady_clock::now();
  std::uint64_t next_line_at_;      // plain output: one line per second of stream
  std::uint64_t shown_samples_ = 0;  // samples in the last plain status line
  std::chrono::steady_clock::time_point next_down_line_;  // plain output while the link is down
};

}  // namespace calyra::session
