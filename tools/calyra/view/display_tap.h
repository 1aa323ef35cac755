// The bounded hand-over from the thread that records a stream to the view's
// worker. The recording side only copies and never waits for the worker:
// when the worker falls behind, the oldest undelivered rows are dropped
// from the display (and counted), never from the recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "display/status_display.h"

namespace calyra::view {

// Electrode columns of consecutive rows, numbered from the stream's start.
struct display_rows {
  std::uint64_t first_row = 0;
  std::vector<std::uint8_t> streaming;        // 0: filler for lost samples
  std::vector<std::vector<double>> channels;  // one column per electrode
  std::size_t size() const { return streaming.size(); }
};

struct placed_annotation {
  std::int64_t sample = 0;
  std::string text;
};

struct live_status {
  display::stream_status stream;
  int battery_level = -1;  // -1: unknown
  bool charging = false;
};

// What the worker takes at once.
struct tap_contents {
  std::deque<display_rows> rows;
  std::vector<placed_annotation> annotations;
  std::optional<live_status> status;
  std::uint64_t dropped_rows = 0;  // since the previous take
  // Annotations beyond the bound (the recording has them; the page is told how many).
  std::uint64_t dropped_annotations = 0;
};

class display_tap {
 public:
  // Holds at most `max_rows` rows and `max_annotations` annotations.
  display_tap(std::size_t max_rows, std::size_t max_annotations);

  void put_rows(display_rows&& rows);
  void put_annotation(placed_annotation&& annotation);
  void put_status(live_status&& status);  // replaces an untaken one

  tap_contents take();

 private:
  std::mutex mutex_;
  tap_contents contents_;
  std::size_t held_rows_ = 0;
  std::size_t max_rows_;
  std::size_t max_annotations_;
};

}  // namespace calyra::view
