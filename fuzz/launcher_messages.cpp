// The launcher's message protocol on whatever its programs write:
// - the message step: the verdict from the message program's output (the
//   first line holding "proceed", else the first holding "quit", else
//   proceed), read from a real child process that prints the input;
// - the application's standard output: every line logged up to the first
//   holding "Closing application";
// - the application's standard error: "Setup done" and "Error" close the
//   splash (a real, short-lived process), and an "Error" before "Setup done"
//   starts the error browser (here a program that cannot be started) and
//   ends the reading.
// The launch log, written to memory, must hold exactly the lines and
// decisions that follow from the input's lines.
#include <fuzzer/FuzzedDataProvider.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "application_readers.h"
#include "launch_log.h"
#include "message_step.h"
#include "splash_screen.h"
#include "support/check.h"
#include "support/line_split.h"
#include "support/packet_pipe.h"
#include "support/quiet_streams.h"
#include "text.h"

namespace {

namespace launcher = calyra::launcher;
using calyra::fuzz::split_lines;

std::string feed_path;

bool holds(std::string_view line, std::string_view marker) { return line.find(marker) != std::string_view::npos; }

// The messages of the log, without the time and level.
std::vector<std::string> logged_messages(int fd) {
  std::string text;
  char buffer[4096];
  for (off_t at = 0;;) {
    const ssize_t count = ::pread(fd, buffer, sizeof buffer, at);
    FUZZ_CHECK(count >= 0);
    if (count == 0) break;
    text.append(buffer, static_cast<std::size_t>(count));
    at += count;
  }
  std::vector<std::string> messages;
  for (std::string_view rest = text; !rest.empty();) {
    const auto newline = rest.find('\n');
    FUZZ_CHECK(newline != std::string_view::npos);
    const std::string_view line = rest.substr(0, newline);
    const auto level_end = line.find("] ");
    FUZZ_CHECK(line.size() > 9 && level_end != std::string_view::npos);
    messages.emplace_back(line.substr(level_end + 2));
    rest.remove_prefix(newline + 1);
  }
  return messages;
}

std::vector<std::string> with_prefix(const std::vector<std::string>& messages,
                                     std::initializer_list<std::string_view> prefixes) {
  std::vector<std::string> kept;
  for (const auto& m : messages) {
    for (const auto p : prefixes) {
      if (m.starts_with(p)) {
        kept.push_back(m);
        break;
      }
    }
  }
  return kept;
}

void message_step(const std::string& output, launcher::launch_log& log, int log_fd) {
  {
    const int fd = ::open(feed_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, output.data(), output.size()) == static_cast<ssize_t>(output.size()));
    ::close(fd);
  }
  launcher::message_step step(CALYRA_FUZZ_FEEDER);
  const launcher::message_verdict verdict = step.read_verdict(log);
  step.close();
  // The message program is the only child: reap it (it ends at the end of
  // its output, or on the closed pipe).
  FUZZ_CHECK(::waitpid(-1, nullptr, 0) > 0);

  std::vector<std::string> expected;
  launcher::message_verdict expected_verdict = launcher::message_verdict::proceed;
  for (const auto& line : split_lines(output)) {
    expected.push_back("Message received: Ok(" + launcher::debug_quoted(line) + ")");
    if (holds(line, "proceed")) {
      expected.push_back("Detected 'proceed', continuing application...");
      break;
    }
    if (holds(line, "quit")) {
      expected.push_back("Detected 'quit', exiting application...");
      expected_verdict = launcher::message_verdict::quit;
      break;
    }
  }
  FUZZ_CHECK(verdict == expected_verdict);
  FUZZ_CHECK(logged_messages(log_fd) == expected);
}

void application_stdout(const std::vector<std::string>& pieces, const std::string& output,
                        launcher::launch_log& log, int log_fd) {
  launcher::read_application_stdout(launcher::line_reader(launcher::unique_fd(calyra::fuzz::packet_stream(pieces))),
                                    log);
  std::vector<std::string> expected;
  for (const auto& line : split_lines(output)) {
    expected.push_back("stdout: " + line);
    if (holds(line, "Closing application")) {
      expected.push_back("Detected 'Closing', exiting application...");
      break;
    }
  }
  FUZZ_CHECK(logged_messages(log_fd) == expected);
}

void application_stderr(const std::vector<std::string>& pieces, const std::string& output,
                        launcher::launch_log& log, int log_fd) {
  launcher::splash_screen splash(launcher::start_program("/bin/true"));
  launcher::read_application_stderr(launcher::line_reader(launcher::unique_fd(calyra::fuzz::packet_stream(pieces))),
                                    log, splash, "/nonexistent/error_browser");
  splash.wait();

  std::vector<std::string> expected;
  bool setup_pending = true;
  for (const auto& line : split_lines(output)) {
    expected.push_back("stderr: " + line);
    if (holds(line, "Setup done")) {
      expected.push_back("Detected 'Opening', closing splash screen...");
      setup_pending = false;
    }
    if (holds(line, "Error")) {
      expected.push_back("Detected 'Error', exiting application...");
      if (setup_pending) {
        expected.push_back("Failed to start error browser: " +
                           launcher::describe(std::make_error_code(std::errc::no_such_file_or_directory)));
        break;
      }
    }
  }
  // The splash's own lines depend on its timing; everything else is fixed.
  FUZZ_CHECK(with_prefix(logged_messages(log_fd), {"stderr: ", "Detected ", "Failed to start error browser"}) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  calyra::fuzz::silence_iostreams();
  char path[] = "/tmp/calyra-fuzz-feed-XXXXXX";
  const int fd = ::mkstemp(path);
  FUZZ_CHECK(fd >= 0);
  ::close(fd);
  feed_path = path;
  ::setenv("CALYRA_FUZZ_FEED", path, 1);
  std::atexit([] { ::unlink(feed_path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int which = in.ConsumeIntegralInRange(0, 2);
  std::vector<std::string> pieces;
  std::string output;
  while (in.remaining_bytes() > 0 && pieces.size() < 64 && output.size() < 32768) {
    std::string piece = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(1, 256));
    if (piece.empty()) break;
    output += piece;
    pieces.push_back(std::move(piece));
  }

  const int log_fd = ::memfd_create("launch.log", MFD_CLOEXEC);
  FUZZ_CHECK(log_fd >= 0);
  launcher::launch_log log{launcher::unique_fd(::fcntl(log_fd, F_DUPFD_CLOEXEC, 0))};
  switch (which) {
    case 0: message_step(output, log, log_fd); break;
    case 1: application_stdout(pieces, output, log, log_fd); break;
    default: application_stderr(pieces, output, log, log_fd);
  }
  ::close(log_fd);
  return 0;
}
