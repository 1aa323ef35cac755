// How a command reports that it cannot go on: one line for the user and a
// non-zero exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace calyra::app {

// Name and meaning of a libcycore result code, e.g. "DEVICE_NOT_FOUND" and
// "no device with the requested name". Unknown codes give "CODE_<n>".
std::string error_name(int code);
std::string error_meaning(int code);

// The library's sentence for this thread's last failed call
// (cy_core_last_error_text); "" when it gave none. Read it before any other
// library call on the thread.
std::string library_reason();

class command_failure : public std::runtime_error {
 public:
  // A failure of the program itself: a file, or an option the model rejects.
  explicit command_failure(const std::string& message) : std::runtime_error(message) {}

  // A library call returned `code` while doing `what` ("connecting to ...").
  // The library's own sentence for the case follows on a line of its own;
  // `reason` is that sentence read earlier, by default it is read now.
  static command_failure from_code(int code, const std::string& what) {
    return from_code(code, what, library_reason());
  }
  static command_failure from_code(int code, const std::string& what, const std::string& reason) {
    std::string line = what + ": " + error_name(code) + " (" + error_meaning(code) + ")";
    if (!reason.empty()) line += "\n  " + reason;
    return command_failure(line);
  }
};

// A command line or environment the program cannot work with: reported
// like a usage error (exit status 2).
class usage_failure : public std::runtime_error {
 public:
  explicit usage_failure(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace calyra::app
