// The command-line options that name a recording's place in a BIDS dataset,
// shared by `calyra bids` (import) and `calyra stream --bids`.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

#include "bids/dataset_writer.h"

namespace calyra::bids {

struct target_options {
  std::string root;
  std::string subject, session, task, acquisition, run;
  std::optional<double> line_frequency_hz;
};

// Adds --task, --acq, --run and --line-freq to `command`; with
// `with_subject`, also --subject and --session (stream has its own, which
// --bids then takes as labels).
void add_target_options(CLI::App& command, target_options& out, bool with_subject);

// The placement the options ask for. Throws app::usage_failure when a label
// breaks the BIDS rule or --line-freq is neither 50 nor 60: both are the
// command line's fault, found before anything is touched.
placement placement_from(const target_options& options);

}  // namespace calyra::bids
