// The calyra command line: subcommands, options and their checks.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "cli/options.h"

namespace calyra::cli {

// Declares every subcommand and option on `app`; parsing fills `out`.
// `out` must outlive the parse.
void define_command_line(CLI::App& app, parsed_command_line& out);

// Completes `out` after a successful parse: parses the electrode list and
// the band, and checks option combinations that CLI11 cannot express.
// Throws CLI::ValidationError with a message for the user.
void finish_command_line(const CLI::App& app, parsed_command_line& out);

// Parses --seconds: 0, or a finite number of seconds within the accepted
// range. Throws std::invalid_argument with a message naming the range.
double parse_seconds(const std::string& text);

}  // namespace calyra::cli
