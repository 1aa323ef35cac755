// The command-line options that place a recording in a BIDS dataset:
// `stream --bids ROOT ...` and the `bids` command (import).
#pragma once

#include <CLI/CLI.hpp>

#include "cli/options.h"

namespace calyra::cli {

// Adds --bids, --task, --acq, --run and --line-freq to `sub`, a command
// that streams (its --subject and --session become the BIDS labels).
void add_bids_options(CLI::App& sub, stream_options& s);

// After parsing `sub`: --bids takes the place of --out and needs --subject
// and --task; the other options need --bids. Throws CLI::ValidationError.
void finish_bids_options(const CLI::App& sub, stream_options& s);

// The `bids ROOT FILE.bdf` command.
void define_bids_import(CLI::App& app, bids_import_options& b);

}  // namespace calyra::cli
