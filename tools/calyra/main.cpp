// calyra: scan for Calyra headsets, show their state, stream and record,
// update their firmware.
#include <CLI/CLI.hpp>
#include <cybciconnect.h>
#include <cycore.h>

#include <csignal>
#include <iostream>

#include "app/failure.h"
#include "device/headset.h"
#include "cli/command_line.h"
#include "commands/commands.h"
#include "recording/recording_writer.h"

namespace {

int dispatch(const calyra::cli::parsed_command_line& cmd) {
  using calyra::cli::command;
  namespace commands = calyra::commands;
  switch (cmd.which) {
    case command::scan: return commands::run_scan(cmd.global);
    case command::info: return commands::run_info(cmd.global, cmd.device);
    case command::stream: return commands::run_stream(cmd.global, cmd.stream);
    case command::battery: return commands::run_battery(cmd.global, cmd.device);
    case command::charging: return commands::run_charging(cmd.global, cmd.charging);
    case command::update: return commands::run_update(cmd.global, cmd.update);
    case command::recover: return commands::run_recover(cmd.recover);
    case command::none: break;
  }
  return 2;
}

int fail(const std::string& message, int status) {
  std::cout.flush();
  std::cerr << "calyra: error: " << message << std::endl;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard output must not kill the program (and a recording):
  // writes to it then fail quietly.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"Work with Calyra EEG headsets: scan, inspect, stream and record, update.", "calyra"};
  calyra::cli::parsed_command_line cmd;
  calyra::cli::define_command_line(app, cmd);
  app.set_version_flag("--version", [] {
    const cy_version* core = cy_core_get_version();
    const cy_version* bci = cy_bci_connect_get_version();
    return "calyra " CALYRA_VERSION " (libcycore " + calyra::device::version_text(*core) + ", libcybciconnect " +
           calyra::device::version_text(*bci) + ")";
  });
  try {
    app.parse(argc, argv);
    calyra::cli::finish_command_line(app, cmd);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return fail(std::string(e.what()) + " (see calyra --help)", 2);
  }

  try {
    return dispatch(cmd);
  } catch (const calyra::app::usage_failure& e) {
    return fail(e.what(), 2);
  } catch (const calyra::app::command_failure& e) {
    return fail(e.what(), 1);
  } catch (const calyra::recording::recording_error& e) {
    return fail(e.what(), 1);
  } catch (const std::exception& e) {
    return fail(std::string("unexpected failure: ") + e.what(), 1);
  }
}
