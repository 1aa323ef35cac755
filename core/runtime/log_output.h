// Control of the logger's output, used by the library state functions. The
// writing side is logger.h.
#pragma once

#include <cstddef>
#include <string_view>

#include "cycore/types.h"
#include "runtime/logger.h"

namespace calyra::core::logger {

// Applies the logging part of a configuration. With logging_enabled: a new
// output buffer of log_buffer_size bytes, the log file (re)opened in append or
// truncate mode, level and switches taken from the record. Without it:
// logging stops and the log file is flushed and closed. A file that cannot be
// opened leaves the output in a failed state; its lines are lost silently.
void apply_config(const cy_core_config& config);

// Writes `last_line` at `level` and stops logging, as one unit under the
// logger mutex, so no line of another thread can follow it.
void write_last_line_and_stop(log_level level, std::string_view last_line);

// Installs the host's handler (null removes it): from now on every line of at
// least `min_level` is handed to it as well, on the thread that writes it,
// whether or not the log file is on. Waits for calls of the previous handler
// in progress. False (nothing changed) when called from inside a handler.
bool set_handler(cy_log_handler function, log_level min_level, void* user_data);

// Flushes and closes the log file; logging stays as it is.
void close_file();

// True when a line of `level` would be written now.
bool enabled_for(log_level level);

// Bytes of the output buffer currently attached to the log file.
std::size_t buffer_size();

}  // namespace calyra::core::logger
