// Runs the built calyra program as a child process, feeding standard input
// and signals when its output reaches given points.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace calyra::test {

// Once standard output contains `after_output`, write `input` to the
// program's standard input, send it SIGINT, close our end of its standard
// output (like a `head` that has read enough) and/or run `action`.
struct trigger {
  std::string after_output;
  std::string input;
  bool interrupt = false;
  bool close_output = false;
  std::function<void(pid_t)> action;
};

struct run_request {
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing) ours
  std::vector<trigger> triggers;                          // fired in order
  double timeout_seconds = 60.0;
  long long file_size_limit = -1;  // bytes (RLIMIT_FSIZE, SIGXFSZ ignored), -1: none
  bool terminal = false;           // standard output on a pseudo-terminal (120 columns)
};

struct run_result {
  int exit_code = -1;  // 128 + signal when killed
  std::string out;
  std::string err;
  double seconds = 0.0;
  bool timed_out = false;
};

// Standard input stays open until the triggers are done, then is closed.
run_result run_calyra(const run_request& request);

}  // namespace calyra::test
