#include "peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace calyra::test {

peer_process::peer_process(const std::vector<std::string>& args, const std::string& program) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipe_ends[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipe_ends[1]);
  out_ = pipe_ends[0];
}

peer_process::~peer_process() {
  kill();
  if (out_ >= 0) close(out_);
}

std::optional<std::string> peer_process::next_line(std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

int peer_process::wait(std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!exit_code_) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (std::chrono::steady_clock::now() > until) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      exit_code_ = 128 + SIGKILL;
    } else {
      usleep(10000);
    }
  }
  return *exit_code_;
}

void peer_process::kill() {
  if (pid_ > 0 && !exit_code_) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::milliseconds(5000));
  }
}

}  // namespace calyra::test
