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

class command_failure : public std::runtime_error {
 public:
  // A failure of the program itself: a file, or an option the model rejects.
  explicit command_failure(const std::string& message) : std::runtime_error(message) {}

  // A library call returned `code` while doing `what` ("connecting to ...").
  static command_failure from_code(int code, const std::string& what) {
    return command_failure(what + ": " + error_name(code) + " (" + error_meaning(code) + ")");
  }
};

// A command line or environment the program cannot work with: reported
// like a usage error (exit status 2).
class usage_failure : public std::runtime_error {
 public:
  explicit usage_failure(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace calyra::app
