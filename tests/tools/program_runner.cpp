#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace calyra::test {
namespace {

std::vector<std::string> child_environment(const run_request& request) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    // The tests pick the backend and devices themselves.
    if (key == "CYCORE_BLE_BACKEND" || key == "CYCORE_VIRTUAL_DEVICES") continue;
    bool replaced = false;
    for (const auto& [k, v] : request.env) replaced = replaced || k == key;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [k, v] : request.env) env.push_back(k + "=" + v);
  return env;
}

}  // namespace

run_result run_calyra(const run_request& request) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (request.terminal) {
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 120;
    // out_pipe[0] is the terminal's master side, out_pipe[1] the program's.
    if (openpty(&out_pipe[0], &out_pipe[1], nullptr, nullptr, &size) != 0) {
      throw std::runtime_error("openpty failed");
    }
    fcntl(out_pipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(out_pipe[1], F_SETFD, FD_CLOEXEC);
  } else if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> args{CALYRA_PROGRAM};
  args.insert(args.end(), request.args.begin(), request.args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = child_environment(request);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    if (request.file_size_limit >= 0) {
      // Like `ulimit -f` in a shell that ignores SIGXFSZ: writes beyond the
      // limit fail with EFBIG, as on a full disk.
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(request.file_size_limit), static_cast<rlim_t>(request.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  int stdin_fd = in_pipe[1];
  signal(SIGPIPE, SIG_IGN);

  run_result result;
  std::size_t next_trigger = 0;
  int open_streams = 2;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  auto fire_triggers = [&] {
    while (next_trigger < request.triggers.size() &&
           result.out.find(request.triggers[next_trigger].after_output) != std::string::npos) {
      const trigger& t = request.triggers[next_trigger++];
      if (!t.input.empty() && stdin_fd >= 0) {
        (void)!write(stdin_fd, t.input.data(), t.input.size());
      }
      if (t.interrupt) kill(pid, SIGINT);
      if (t.action) t.action(pid);
      if (t.close_output && fds[0].fd >= 0) {
        close(fds[0].fd);
        fds[0].fd = -1;
        --open_streams;
      }
    }
    if (next_trigger == request.triggers.size() && stdin_fd >= 0) {
      close(stdin_fd);
      stdin_fd = -1;
    }
  };
  fire_triggers();
  std::string* sinks[2] = {&result.out, &result.err};
  while (open_streams > 0) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (elapsed > request.timeout_seconds) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      } else {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      }
    }
    fire_triggers();
  }
  if (stdin_fd >= 0) close(stdin_fd);
  for (pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace calyra::test
