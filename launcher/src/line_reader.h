// Reading a child's output pipe line by line.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <system_error>
#include <variant>

#include "unique_fd.h"

namespace calyra::launcher {

// One item of a stream: a line (without its newline, and without a carriage
// return just before the newline) or a read failure.
using read_item = std::variant<std::string, std::error_code>;

// Reads through an 8192-byte buffer. A last line without a newline is still
// a line. Lines may be of any length and are not required to be UTF-8.
class line_reader {
 public:
  // A read failure is reported and reading goes on, but a descriptor that
  // fails this many times in a row will not recover, so the stream is then
  // taken as ended instead of reporting failures forever.
  static constexpr int max_consecutive_failures = 8;

  explicit line_reader(unique_fd pipe) : pipe_(std::move(pipe)) {}

  // Blocks until the next item is available; nullopt at the end of the
  // stream.
  std::optional<read_item> next();

  // Closes the launcher's end of the pipe.
  void close() noexcept { pipe_.reset(); }

 private:
  std::optional<std::string> take_buffered_line();

  unique_fd pipe_;
  std::array<char, 8192> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::string partial_;  // bytes of a line not yet ended, kept across reads and failures
  int consecutive_failures_ = 0;
  bool ended_ = false;
};

}  // namespace calyra::launcher
