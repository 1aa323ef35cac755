// The command-line options of the Lab Streaming Layer (--lsl, --lsl-name,
// --lsl-markers) for the commands that stream.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/options.h"

namespace calyra::cli {

void add_lsl_options(CLI::App& sub, stream_options& s);

// After parsing `sub`: --lsl-name needs --lsl. Throws CLI::ValidationError.
void finish_lsl_options(const CLI::App& sub, const stream_options& s);

}  // namespace calyra::cli
