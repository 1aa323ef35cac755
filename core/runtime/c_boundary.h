// The guard every exported function that runs library code sits behind: no
// exception of any type reaches the host. An unexpected one is logged at
// ERROR level and turned into the code the caller names.
#pragma once

#include <exception>
#include <utility>

#include "runtime/error.h"
#include "runtime/logger.h"

namespace calyra::core {

template <class Body>
error guard_c_call(const char* function, error on_exception, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    try {
      logger::log(log_level::ERROR, [&](std::ostream& out) {
        out << "Unexpected error in " << function << ": " << e.what();
      });
    } catch (...) {
      // Logging itself failed (out of memory); the code still reaches the host.
    }
  } catch (...) {
    try {
      logger::log(log_level::ERROR, [&](std::ostream& out) {
        out << "Unexpected error in " << function << ": unknown exception";
      });
    } catch (...) {
    }
  }
  return on_exception;
}

}  // namespace calyra::core
