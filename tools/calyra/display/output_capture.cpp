#include "display/output_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

namespace calyra::display {

std::streambuf::int_type fd_streambuf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

std::streamsize fd_streambuf::xsputn(const char* data, std::streamsize size) {
  std::streamsize done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, data + done, static_cast<std::size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

output_capture::output_capture(bool active) {
  if (!active) return;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  std::cout.flush();
  std::fflush(stdout);
  saved_stdout_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved_stdout_ < 0 || ::dup2(fds[1], STDOUT_FILENO) < 0) {
    if (saved_stdout_ >= 0) ::close(saved_stdout_);
    saved_stdout_ = -1;
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  ::close(fds[1]);
  pipe_read_ = fds[0];
  ::fcntl(pipe_read_, F_SETFL, ::fcntl(pipe_read_, F_GETFL) | O_NONBLOCK);
  buffer_ = std::make_unique<fd_streambuf>(saved_stdout_);
  stream_ = std::make_unique<std::ostream>(buffer_.get());
}

output_capture::~output_capture() { restore(); }

std::ostream& output_capture::display() { return stream_ ? *stream_ : std::cout; }

void output_capture::read_available() {
  if (pipe_read_ < 0) return;
  char chunk[4096];
  while (true) {
    const ssize_t n = ::read(pipe_read_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::vector<std::string> output_capture::lines() {
  read_available();
  std::vector<std::string> result;
  std::size_t start = 0;
  for (std::size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1) {
    result.push_back(pending_.substr(start, nl - start));
  }
  pending_.erase(0, start);
  return result;
}

std::vector<std::string> output_capture::restore() {
  if (saved_stdout_ < 0) return {};
  std::cout.flush();
  std::fflush(stdout);
  ::dup2(saved_stdout_, STDOUT_FILENO);
  ::close(saved_stdout_);
  saved_stdout_ = -1;
  std::vector<std::string> result = lines();
  if (!pending_.empty()) result.push_back(std::move(pending_));
  pending_.clear();
  ::close(pipe_read_);
  pipe_read_ = -1;
  return result;
}

}  // namespace calyra::display
