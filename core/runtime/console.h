// The only place where libcycore writes to the process's standard output or
// standard error. Every such line obeys cy_core_set_stdout_diagnostics: with
// the switch off it goes to the log instead (or nowhere, when the log already
// holds the same fact), so that a host that owns its output sees none of the
// library's.
#pragma once

#include <optional>
#include <string_view>

#include "runtime/logger.h"

namespace calyra::core::console {

enum class channel { standard_output, standard_error };

// Whether the console lines go to the console (the default) or to the log:
// cy_core_set_stdout_diagnostics. Any thread, any time; survives
// cy_core_close.
bool enabled();
void set_enabled(bool enabled);

// Writes `line` and a line break to `to`, flushed, while the switch is on.
// While it is off: the log gets `log_prefix` + `line` at `instead`, or
// nothing when `instead` is empty.
void write_line(channel to, std::string_view line, std::optional<log_level> instead,
                std::string_view log_prefix = {});

}  // namespace calyra::core::console
