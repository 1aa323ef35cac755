// Start-up failures that end the launcher with status 101.
#pragma once

#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "text.h"

namespace calyra::launcher {

// what() is the whole report written to standard error: the message, and
// when an operation failed, ": " and that operation's error.
class fatal_error : public std::runtime_error {
 public:
  explicit fatal_error(const std::string& message) : std::runtime_error(message) {}
  fatal_error(const std::string& message, const std::error_code& cause)
      : std::runtime_error(message + ": " + describe(cause)) {}
};

// Runs `operation` and turns the std::system_error it may throw into a
// fatal_error carrying `message`.
template <class Operation>
auto or_fatal(const std::string& message, Operation&& operation) {
  try {
    return std::forward<Operation>(operation)();
  } catch (const std::system_error& failure) {
    throw fatal_error(message, failure.code());
  }
}

}  // namespace calyra::launcher
