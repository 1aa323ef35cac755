#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "text.h"

extern char** environ;

namespace calyra::launcher {
namespace {

void check_spawn_setup(int result) {
  if (result != 0) throw std::system_error(result, std::generic_category());
}

// posix_spawn's set-up objects, destroyed on every path out.
struct spawn_setup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;

  spawn_setup() {
    check_spawn_setup(posix_spawn_file_actions_init(&actions));
    if (int result = posix_spawnattr_init(&attributes); result != 0) {
      posix_spawn_file_actions_destroy(&actions);
      throw std::system_error(result, std::generic_category());
    }
  }
  ~spawn_setup() {
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  spawn_setup(const spawn_setup&) = delete;
  spawn_setup& operator=(const spawn_setup&) = delete;
};

}  // namespace

std::error_code child_process::kill() noexcept {
  if (waited_) return {};
  if (::kill(pid_, SIGKILL) != 0) return last_os_error();
  return {};
}

std::error_code child_process::wait() noexcept {
  if (waited_) return {};
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) return last_os_error();
  }
  waited_ = true;
  return {};
}

pipe_ends open_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(last_os_error());
  return {unique_fd(fds[0]), unique_fd(fds[1])};
}

child_process start_program(const std::string& path, program_streams streams) {
  spawn_setup setup;
  // dup2 in the child clears close-on-exec on the copy, so only the copy
  // installed as fd 1 or 2 reaches the program.
  if (streams.output >= 0) {
    check_spawn_setup(posix_spawn_file_actions_adddup2(&setup.actions, streams.output, STDOUT_FILENO));
  }
  if (streams.error >= 0) {
    check_spawn_setup(posix_spawn_file_actions_adddup2(&setup.actions, streams.error, STDERR_FILENO));
  }

  // The launcher ignores SIGPIPE; its programs get the usual behaviour.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  check_spawn_setup(posix_spawnattr_setsigdefault(&setup.attributes, &defaults));
  check_spawn_setup(posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF));

  std::string program = path;
  std::string empty_argument;
  char* argv[] = {program.data(), empty_argument.data(), nullptr};

  // glibc's posix_spawn waits until the exec has happened and returns its
  // error, so a program that cannot be executed fails here.
  pid_t pid = -1;
  const int result = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv, environ);
  if (result != 0) throw std::system_error(result, std::generic_category());
  return child_process(pid);
}

}  // namespace calyra::launcher
