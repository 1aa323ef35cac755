#include "message_step.h"

#include "child_process.h"
#include "fatal_error.h"
#include "text.h"

namespace calyra::launcher {
namespace {

line_reader start_message_program(const std::string& program) {
  pipe_ends pipe = or_fatal("Failed to open stdout", [] { return open_pipe(); });
  or_fatal("Failed to start message request",
           [&] { return start_program(program, {.output = pipe.write_end.get()}); });
  // Only the program may hold the write end, or the end of its output would
  // never be seen.
  pipe.write_end.reset();
  return line_reader(std::move(pipe.read_end));
}

}  // namespace

message_step::message_step(const std::string& program) : reader_(start_message_program(program)) {}

message_verdict message_step::read_verdict(launch_log& log) {
  while (auto item = reader_.next()) {
    if (const auto* failure = std::get_if<std::error_code>(&*item)) {
      log.info("Message received: Err(" + describe(*failure) + ")");
      log.error("Error reading from subprocess: " + describe(*failure));
      continue;
    }
    const std::string& line = std::get<std::string>(*item);
    log.info("Message received: Ok(" + debug_quoted(line) + ")");
    if (line.find("proceed") != std::string::npos) {
      log.info("Detected 'proceed', continuing application...");
      return message_verdict::proceed;
    }
    if (line.find("quit") != std::string::npos) {
      log.info("Detected 'quit', exiting application...");
      return message_verdict::quit;
    }
  }
  return message_verdict::proceed;
}

}  // namespace calyra::launcher
