// A recording streamed straight into a dataset. It is written as a calyra
// recording under the hidden staging name (dataset_writer.h), with a hidden
// note of what the BIDS sidecars need and the recording does not hold (the
// power line frequency); when the run ends, or `calyra recover` has
// completed what a crash left, it is placed under its BIDS name.
#pragma once

#include <optional>
#include <string>

#include "bids/dataset_writer.h"

namespace calyra::bids {

// Checks the placement (check_placement), creates the dataset files and the
// recording's folder, and writes the note. Returns the path the stream
// writes its recording to (staging_path). Throws bids_error.
std::string begin_staged(const placement& p);

// Places the finished calyra recording at `staged_bdf` (a staging path) and
// removes the note. Throws bids_error; the staged files then stay, and
// `calyra bids` can still import them.
placed_recording finish_staged(const std::string& staged_bdf, const std::string& program_version);

// Removes the note of a staged recording that never began (a headset that
// could not be opened), so that its name is free again.
void abandon_staged(const std::string& staged_bdf);

// The hidden note next to a staged recording.
std::string staged_note_path(const std::string& staged_bdf);

// The staging path of a recording for the FILE.part of a run, when that
// .part is a staged recording in a dataset; nullopt for any other file.
std::optional<std::string> staged_recording_of(const std::string& part_path);

}  // namespace calyra::bids
