// The command-line options of the live view.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/options.h"

namespace calyra::cli {

inline constexpr const char* view_command_help =
    "Stream as 'stream' does and show the signal live in the browser";

// Adds --port, --listen and --open to `sub`, a command that streams, and
// --view unless `sub` is the view command (which is that switch itself;
// it also streams until Ctrl-C unless given --seconds).
void add_view_options(CLI::App& sub, stream_options& s, bool view_command);

// After parsing `sub`: turns the view on for the view command, applies its
// default length, and checks that the options come with the view. Throws
// CLI::ValidationError.
void finish_view_options(const CLI::App& sub, stream_options& s, bool view_command);

}  // namespace calyra::cli
