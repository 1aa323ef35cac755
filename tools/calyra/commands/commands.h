// The subcommands. Each returns the process exit status and reports a
// failure by throwing app::command_failure (or recording::recording_error),
// after releasing the headset and the library.
#pragma once

#include <string>

#include "cli/options.h"

namespace calyra::commands {

int run_scan(const cli::global_options& global);
int run_info(const cli::global_options& global, const std::string& device);
int run_battery(const cli::global_options& global, const std::string& device);
int run_charging(const cli::global_options& global, const cli::charging_options& options);
int run_update(const cli::global_options& global, const cli::update_options& options);
int run_stream(const cli::global_options& global, const cli::stream_options& options);
int run_recover(const cli::recover_options& options);
int run_bids_import(const cli::bids_import_options& options);

}  // namespace calyra::commands
