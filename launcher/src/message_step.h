// The message step: a program whose standard output decides whether the
// application may start.
#pragma once

#include <string>

#include "launch_log.h"
#include "line_reader.h"

namespace calyra::launcher {

enum class message_verdict { proceed, quit };

class message_step {
 public:
  // Starts the message program with its standard output on a pipe.
  // Throws fatal_error("Failed to open stdout: ...") when no pipe can be
  // made (the program is then not started) and
  // fatal_error("Failed to start message request: ...") when it cannot be
  // started.
  explicit message_step(const std::string& program);

  // Logs every item read and returns at the first line holding "proceed"
  // (tested first) or "quit". A program that ends its output without either
  // word lets the application start, like "proceed".
  message_verdict read_verdict(launch_log& log);

  // Closes the launcher's end of the pipe. The message program itself is
  // neither waited for nor stopped.
  void close() noexcept { reader_.close(); }

 private:
  line_reader reader_;
};

}  // namespace calyra::launcher
