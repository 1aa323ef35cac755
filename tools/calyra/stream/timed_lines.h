// Lines typed on standard input, each with the moment it arrived. A thread
// waits for input and takes each line as it comes, so that an annotation's
// time is when it was typed, not when the stream loop got round to it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stream/line_reader.h"

namespace calyra::stream {

struct timed_line {
  std::string text;
  std::int64_t arrival_ns = 0;  // CLOCK_MONOTONIC when the read that completed it returned
};

class timed_lines {
 public:
  // Reads `fd` until its end or until destroyed; a negative `fd` reads
  // nothing. Throws std::system_error when no thread can be started.
  explicit timed_lines(int fd);
  ~timed_lines();  // stops the reading thread and waits for it

  timed_lines(const timed_lines&) = delete;
  timed_lines& operator=(const timed_lines&) = delete;

  // The lines that arrived since the last call, oldest first.
  std::vector<timed_line> take();

 private:
  void read_until_stopped();

  line_reader reader_;
  int fd_;
  int wake_[2] = {-1, -1};  // written to stop the thread's wait
  std::mutex mutex_;
  std::vector<timed_line> lines_;
  std::thread thread_;
};

}  // namespace calyra::stream
