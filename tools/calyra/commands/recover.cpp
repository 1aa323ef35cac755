// calyra recover: makes the recordings of runs that did not finish readable.
#include <iostream>

#include "bids/entities.h"
#include "bids/staged_recording.h"
#include "commands/commands.h"
#include "display/progress_bar.h"
#include "recording/recording_writer.h"
#include "recording/recovery.h"
#include "sinks/session_index.h"

namespace calyra::commands {

int run_recover(const cli::recover_options& options) {
  int status = 0;
  for (const std::string& path : options.paths) {
    try {
      // The description of a session of several headsets, left while recording.
      if (sinks::is_session_index_part(path)) {
        std::cout << "Recovered " << sinks::recover_session_index(path) << " (the session's time axis)" << std::endl;
        continue;
      }
      const recording::recovered_recording r = recording::recover_recording(path);
      std::cout << "Recovered " << r.recording << ": ";
      if (r.seconds > 0.0) std::cout << display::format_seconds(r.seconds) << ", ";
      std::cout << r.samples << " samples, " << r.annotations << " annotation" << (r.annotations == 1 ? "" : "s");
      if (r.cut_bytes > 0) std::cout << " (" << r.cut_bytes << " bytes of an unfinished write dropped)";
      std::cout << "\n  with " << r.events << " and " << r.description << std::endl;
      // A run streamed into a dataset: the recording now takes its place there.
      if (const auto staged = bids::staged_recording_of(path)) {
        const bids::placed_recording placed = bids::finish_staged(*staged, CALYRA_VERSION);
        std::cout << "  placed as " << placed.recording << std::endl;
      }
    } catch (const std::runtime_error& e) {  // recording_error, bids_error
      // One line per file that could not be recovered; the others still are.
      std::cout.flush();
      std::cerr << "calyra: error: " << e.what() << std::endl;
      status = 1;
    }
  }
  return status;
}

}  // namespace calyra::commands
