// Starting the desktop application's programs and keeping their handles.
#pragma once

#include <sys/types.h>

#include <string>
#include <system_error>

#include "unique_fd.h"

namespace calyra::launcher {

// A started program. Dropping the handle neither stops nor waits for the
// process: programs the launcher does not wait for keep running after it.
class child_process {
 public:
  explicit child_process(pid_t pid) noexcept : pid_(pid) {}

  pid_t pid() const noexcept { return pid_; }
  bool waited() const noexcept { return waited_; }

  // Sends SIGKILL. A process already waited for counts as killed and gets no
  // signal (its pid may belong to someone else by now); one that has ended
  // but was not waited for still takes the signal without error.
  std::error_code kill() noexcept;

  // Blocks until the process ends and reaps it; at once when already waited.
  std::error_code wait() noexcept;

 private:
  pid_t pid_;
  bool waited_ = false;
};

// Both ends of a pipe, each close-on-exec, so no program inherits an end it
// was not given: a forgotten write end would keep a reader from ever seeing
// the end of the stream.
struct pipe_ends {
  unique_fd read_end;
  unique_fd write_end;
};

// Throws std::system_error when no pipe can be made.
pipe_ends open_pipe();

// Descriptors to install as the program's standard output and standard
// error; -1 keeps the launcher's own stream.
struct program_streams {
  int output = -1;
  int error = -1;
};

// Starts `path` with exactly one argument, the empty string, in the
// launcher's environment and working directory. SIGPIPE is back at its
// default in the program. Returns once the program has been executed; a
// path that cannot be executed throws std::system_error with the reason
// (so a failed start is never mistaken for a program that exits early).
child_process start_program(const std::string& path, program_streams streams = {});

}  // namespace calyra::launcher
