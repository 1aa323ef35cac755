// The guard every exported function that runs library code sits behind: no
// exception of any type reaches the host. An unexpected one is logged at
// ERROR level and turned into the result the caller names. The guard of
// functions that return a result code also keeps the thread's last error
// text (last_error.h): cleared on entry, and a generic sentence naming the
// function and the code for a failure that recorded none of its own.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "runtime/error.h"
#include "runtime/last_error.h"
#include "runtime/logger.h"

namespace calyra::core {

// Runs `body`; an exception of any type is logged and `fallback` returned.
template <class Result, class Body>
Result guard_c_value(const char* function, Result fallback, Body&& body) noexcept {
  const auto report = [function](const char* what) noexcept {
    try {
      last_error::record(std::string(function) + ": unexpected error: " + what);
      logger::log(log_level::ERROR,
                  [&](std::ostream& out) { out << "Unexpected error in " << function << ": " << what; });
    } catch (...) {
      // Logging itself failed (out of memory); the result still reaches the host.
    }
  };
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    report(e.what());
  } catch (...) {
    report("unknown exception");
  }
  return fallback;
}

// For functions that return an error code.
template <class Body>
error guard_c_call(const char* function, error on_exception, Body&& body) noexcept {
  last_error::clear();
  const error result = guard_c_value(function, on_exception, std::forward<Body>(body));
  if (result != error::OK && !last_error::recorded()) {
    try {
      last_error::record(std::string(function) + " failed: " + last_error::describe(result));
    } catch (...) {
      // Out of memory: the text stays empty.
    }
  }
  return result;
}

// For functions without a result.
template <class Body>
void guard_c_void(const char* function, Body&& body) noexcept {
  guard_c_value(function, 0, [&] {
    std::forward<Body>(body)();
    return 0;
  });
}

}  // namespace calyra::core
