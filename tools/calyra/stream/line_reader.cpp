#include "stream/line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace calyra::stream {

std::vector<std::string> line_reader::read_available(int timeout_ms) {
  std::vector<std::string> lines;
  if (finished_) return lines;
  pollfd p{fd_, POLLIN, 0};
  while (::poll(&p, 1, timeout_ms) > 0) {
    timeout_ms = 0;  // after the first wait, only take what is ready
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) break;
    if (n <= 0) {
      finished_ = true;
      break;
    }
    partial_.append(buffer, static_cast<std::size_t>(n));
  }
  std::size_t start = 0;
  for (std::size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
    std::string line = partial_.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
  }
  partial_.erase(0, start);
  if (finished_ && !partial_.empty()) {
    lines.push_back(std::move(partial_));
    partial_.clear();
  }
  return lines;
}

}  // namespace calyra::stream
