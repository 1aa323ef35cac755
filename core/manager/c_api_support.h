// Shared pieces of the manager's C functions: the handle conversion and a
// guard for functions whose result is not an error code (those use
// guard_c_call of runtime/c_boundary.h).
#pragma once

#include <exception>
#include <utility>

#include "cycore/eeg_manager.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/logger.h"

namespace calyra::core {

// The handle's value is the address of the implementation object.
inline eeg_manager_implementation& from_handle(cy_eeg_manager* handle) {
  return *reinterpret_cast<eeg_manager_implementation*>(handle);
}

// Runs `body`; an exception of any type is logged and `fallback` returned,
// so nothing crosses the C boundary.
template <class Result, class Body>
Result guard_c_value(const char* function, Result fallback, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    try {
      logger::log(log_level::ERROR,
                  [&](std::ostream& out) { out << "Unexpected error in " << function << ": " << e.what(); });
    } catch (...) {
    }
  } catch (...) {
    try {
      logger::log(log_level::ERROR,
                  [&](std::ostream& out) { out << "Unexpected error in " << function << ": unknown exception"; });
    } catch (...) {
    }
  }
  return fallback;
}

// The same for functions without a result.
template <class Body>
void guard_c_void(const char* function, Body&& body) noexcept {
  guard_c_value(function, 0, [&] {
    std::forward<Body>(body)();
    return 0;
  });
}

}  // namespace calyra::core
