// The text of the last failure on each thread: one sentence saying what went
// wrong in this case and, where there is one, the way out. Every exported
// function that returns a result code clears it on entry (c_boundary.h); the
// code that detects a failure records it. The innermost reason wins: a text
// recorded deep inside an operation is not replaced by the generic one of an
// outer layer.
#pragma once

#include <sstream>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace calyra::core::last_error {

// Empties this thread's text.
void clear() noexcept;

// Records `text` unless this thread already holds one since the last clear.
void record(std::string_view text) noexcept;

// True when this thread holds a text since the last clear.
bool recorded() noexcept;

// This thread's text ("" when none); valid until the thread's next change.
const char* text() noexcept;

// "SYMBOL (meaning)" of a result code, e.g. "DEVICE_NOT_FOUND (no device with
// the requested name)".
const char* describe(error code) noexcept;

}  // namespace calyra::core::last_error

namespace calyra::core {

// Records `text` as this thread's last error and returns `code`, for
// `return fail(error::X, "...")` at the spot that knows the reason.
inline error fail(error code, std::string_view text) noexcept {
  last_error::record(text);
  return code;
}

// The same with a text streamed by `write(std::ostream&)`.
template <class Writer>
  requires std::is_invocable_v<Writer, std::ostream&>
error fail(error code, Writer&& write) noexcept {
  try {
    std::ostringstream out;
    write(out);
    last_error::record(out.str());
  } catch (...) {
    // Out of memory while formatting: the generic text of the code follows.
  }
  return code;
}

}  // namespace calyra::core
