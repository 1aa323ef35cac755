// Reads lines from a file descriptor (standard input) without blocking the
// stream loop: each call takes what is available now.
#pragma once

#include <string>
#include <vector>

namespace calyra::stream {

class line_reader {
 public:
  // A negative `fd` reads nothing.
  explicit line_reader(int fd) : fd_(fd), finished_(fd < 0) {}

  // Complete lines available within `timeout_ms` (0: only what is already
  // there), without their line ends; empty lines are skipped. At end of
  // input a last unterminated line is returned too, and the reader stops.
  std::vector<std::string> read_available(int timeout_ms);

  bool finished() const { return finished_; }

 private:
  int fd_;
  bool finished_;
  std::string partial_;
};

}  // namespace calyra::stream
