// The live status of a stream: a block redrawn in place on a terminal, or
// plain periodic lines when the output is a file or a pipe.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace calyra::display {

struct electrode_status {
  std::string label;     // "E1"
  std::string grade;     // "good", "noisy", "bad", or "-" before the first grade
  std::string reason;    // empty when good
};

struct stream_status {
  std::string headset;  // its name, shown when several headsets stream; empty: the only one
  double elapsed_seconds = 0.0;
  double target_seconds = 0.0;  // 0: until Ctrl-C
  std::uint64_t samples = 0;
  std::uint64_t missed_packets = 0;
  std::uint64_t lost_samples = 0;
  std::size_t annotations = 0;
  std::size_t outages = 0;  // link losses so far
  std::string link;         // while the link is down: what is being done about it
  std::vector<electrode_status> electrodes;
};

// The lines of the refreshing block, none longer than `columns` characters
// unless a single electrode's text is.
std::vector<std::string> render_status_block(const stream_status& status, int columns);
// One self-contained line for non-terminals.
std::string render_status_line(const stream_status& status);

class status_display {
 public:
  // `refreshing`: redraw one block in place with ANSI cursor movements, in
  // a terminal `columns` characters wide (a wrapped line would throw off the
  // count of lines to redraw).
  status_display(std::ostream& out, bool refreshing, int columns = 80);

  void show(const stream_status& status) { show(std::vector<stream_status>{status}); }
  // Several headsets: one block (one line in plain output) each.
  void show(const std::vector<stream_status>& statuses);
  // A line that stays (annotation receipts, warnings), printed above the block.
  void message(const std::string& line);
  // The terminal echoed `count` typed lines below the block; the next redraw
  // clears them too.
  void lines_echoed(int count) { drawn_lines_ += refreshing_ && drawn_lines_ > 0 ? count : 0; }
  // Leaves the last block on screen; later output starts below it.
  void finish();

 private:
  void erase_block();

  std::ostream& out_;
  bool refreshing_;
  int columns_;
  int drawn_lines_ = 0;
  std::vector<stream_status> last_;
  bool have_last_ = false;
};

}  // namespace calyra::display
