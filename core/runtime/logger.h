// The process-wide logger of libcycore.
//
// One mutex serialises every line from every thread (host threads and BLE
// callback threads). A line below the effective level, or any line while
// logging is inactive, is neither formatted nor written: the body writer is
// not even called.
#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>
#include <type_traits>

namespace calyra::core {

enum class log_level : std::uint8_t { VERBOSE = 0, DEBUG = 1, INFO = 2, WARNING = 3, ERROR = 4 };

// The level word ("VERBOSE" .. "ERROR"), "UNKNOWN" for any other value.
const char* log_level_str(log_level level);

namespace logger {

namespace detail {
using body_writer = void (*)(std::ostream& out, void* context);
void log_erased(log_level level, body_writer write, void* context);
}  // namespace detail

// Writes one line: the configured prefix, then what `write_body(std::ostream&)`
// streams, then "\n". Takes the logger mutex for the whole line; the caller
// must not hold it.
template <class Writer>
void log(log_level level, Writer&& write_body) {
  using W = std::remove_reference_t<Writer>;
  detail::log_erased(
      level, [](std::ostream& out, void* context) { (*static_cast<W*>(context))(out); },
      const_cast<void*>(static_cast<const void*>(&write_body)));
}

// Convenience for a body that is already text.
inline void log_text(log_level level, std::string_view body) {
  log(level, [body](std::ostream& out) { out << body; });
}

}  // namespace logger
}  // namespace calyra::core
