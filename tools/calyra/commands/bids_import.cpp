// calyra bids: puts a recording made earlier (FILE.bdf with its NAME.json and
// NAME_events.tsv) into a BIDS dataset.
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "app/failure.h"
#include "bids/calyra_recording.h"
#include "bids/dataset_writer.h"
#include "bids/staged_recording.h"
#include "commands/commands.h"

namespace calyra::commands {

int run_bids_import(const cli::bids_import_options& options) {
  const bids::placement p = bids::placement_from(options.target);
  // A stream's recording that could not be placed when it ended (or after
  // recover) is placed from where it was staged, not copied beside itself.
  namespace fs = std::filesystem;
  const bool staged = fs::weakly_canonical(options.file) == fs::weakly_canonical(bids::staging_path(p));
  try {
    // The names and the line frequency first: nothing is read for a
    // placement that would be refused.
    bids::check_placement(p, staged ? options.file : std::string());
  } catch (const bids::bids_error& e) {
    throw app::usage_failure(e.what());
  }
  try {
    const bids::calyra_recording source = bids::read_calyra_recording(options.file);
    const bids::placed_recording placed =
        bids::place_recording(p, source, staged ? bids::transfer::move : bids::transfer::copy);
    if (staged) ::unlink(bids::staged_note_path(options.file).c_str());
    std::cout << "Imported " << options.file << ": " << source.samples << " samples at " << source.rate_hz
              << " Hz, " << source.events.size() << " event" << (source.events.size() == 1 ? "" : "s") << "\n"
              << "  as " << placed.recording << "\n"
              << "  with its _eeg.json, _channels.tsv, _events.tsv and _events.json\n";
    std::size_t electrode = 0;
    for (const auto& s : source.signals) {
      if (s.kind != recording::signal_kind::electrode) continue;
      const auto& verdict = source.electrode_verdicts.at(electrode++);
      if (verdict.bad) std::cout << "  " << s.label << " marked bad: " << verdict.reason << "\n";
    }
    std::cout << std::flush;
  } catch (const bids::bids_error& e) {
    throw app::command_failure(e.what());
  }
  return 0;
}

}  // namespace calyra::commands
