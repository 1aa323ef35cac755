// The LSL test peer (lsl_peer.cpp) as a child process whose standard output
// the test reads line by line.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace calyra::test {

class peer_process {
 public:
  // Runs `program` (the test peer unless named) with `args`.
  explicit peer_process(const std::vector<std::string>& args, const std::string& program = CALYRA_LSL_PEER);
  ~peer_process();  // kills the peer if it still runs
  peer_process(const peer_process&) = delete;
  peer_process& operator=(const peer_process&) = delete;

  // The next line of its output, or nullopt at its end or after `timeout`.
  std::optional<std::string> next_line(std::chrono::milliseconds timeout);
  // Its exit code (128 + signal when killed); kills it after `timeout`.
  int wait(std::chrono::milliseconds timeout);
  void kill();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
  std::optional<int> exit_code_;
};

}  // namespace calyra::test
