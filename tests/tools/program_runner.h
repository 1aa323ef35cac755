// Runs the built calyra program as a child process, feeding standard input
// and signals when its output reaches given points.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace calyra::test {

// Once standard output contains `after_output`, write `input` to the
// program's standard input and/or send it SIGINT.
struct trigger {
  std::string after_output;
  std::string input;
  bool interrupt = false;
};

struct run_request {
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing) ours
  std::vector<trigger> triggers;                          // fired in order
  double timeout_seconds = 60.0;
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
