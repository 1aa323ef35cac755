#include "stream/timed_lines.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "stream/sample_clock.h"

namespace calyra::stream {

timed_lines::timed_lines(int fd) : reader_(fd), fd_(fd) {
  if (fd_ < 0) return;
  if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  thread_ = std::thread([this] { read_until_stopped(); });
}

timed_lines::~timed_lines() {
  if (thread_.joinable()) {
    const char stop = 1;
    while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (const int end : wake_) {
    if (end >= 0) ::close(end);
  }
}

std::vector<timed_line> timed_lines::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<timed_line> taken;
  taken.swap(lines_);
  return taken;
}

void timed_lines::read_until_stopped() {
  while (!reader_.finished()) {
    pollfd waits[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (waits[1].revents != 0) return;
    if (waits[0].revents == 0) continue;
    std::vector<std::string> lines = reader_.read_available(0);
    const std::int64_t now = monotonic_now_ns();
    if (lines.empty()) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::string& line : lines) lines_.push_back({std::move(line), now});
  }
}

}  // namespace calyra::stream
