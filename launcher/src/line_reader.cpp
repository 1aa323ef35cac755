#include "line_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "text.h"

namespace calyra::launcher {

std::optional<std::string> line_reader::take_buffered_line() {
  const char* first = buffer_.data() + begin_;
  const char* last = buffer_.data() + end_;
  const char* newline = std::find(first, last, '\n');
  partial_.append(first, newline);
  if (newline == last) {
    begin_ = end_ = 0;
    return std::nullopt;
  }
  begin_ = static_cast<std::size_t>(newline + 1 - buffer_.data());
  if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
  return std::exchange(partial_, {});
}

std::optional<read_item> line_reader::next() {
  for (;;) {
    if (auto line = take_buffered_line()) return read_item(std::move(*line));
    if (ended_ || !pipe_) {
      if (!partial_.empty()) return read_item(std::exchange(partial_, {}));
      return std::nullopt;
    }

    const ssize_t count = ::read(pipe_.get(), buffer_.data(), buffer_.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      const std::error_code failure = last_os_error();
      if (++consecutive_failures_ >= max_consecutive_failures) ended_ = true;
      return read_item(failure);
    }
    consecutive_failures_ = 0;
    if (count == 0) {
      ended_ = true;
      continue;
    }
    begin_ = 0;
    end_ = static_cast<std::size_t>(count);
  }
}

}  // namespace calyra::launcher
