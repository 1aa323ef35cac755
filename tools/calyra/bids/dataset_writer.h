// Puts one finished calyra recording into a BIDS dataset under the name its
// entities give, with every sidecar and dataset file it needs. A stream
// records under a hidden staging name in the recording's own folder
// (".<stem>_eeg.bdf", then ".part" while it runs): the validator and BIDS
// tools ignore names that start with a dot, so an unfinished run is never
// taken for data, and finishing is a rename within one folder.
#pragma once

#include <optional>
#include <string>

#include "bids/calyra_recording.h"
#include "bids/entities.h"

namespace calyra::bids {

struct placement {
  std::string root;
  entities names;
  std::optional<double> line_frequency_hz;  // --line-freq; nullopt: what the dataset states
  std::string program_version;
};

// Everything that can be refused before a recording exists, so a stream can
// refuse before connecting: the labels, the line frequency (given as 50 or
// 60, or stated by the dataset), and a recording, sidecar or staged run
// already there under these entities (the message names the next free
// --run). The files of `source_bdf` (a staged recording placed at last)
// are not in the way. Returns the line frequency to write. Throws bids_error.
double check_placement(const placement& p, const std::string& source_bdf = {});

// Where a stream writes its calyra recording before it is placed:
// ROOT/<data folder>/.<stem>_eeg.bdf.
std::string staging_path(const placement& p);

enum class transfer {
  copy,  // the source stays (importing an earlier recording)
  move,  // the staged recording becomes the dataset's; its calyra sidecars go
};

struct placed_recording {
  std::string recording;  // the BDF file's path in the dataset
  std::string sidecar_stem;  // ROOT/.../<stem>, for the _eeg.json, ... next to it
  double line_frequency_hz = 0.0;
};

// Writes the dataset files when missing, the participant, the recording's
// sidecars, then the BDF file under its BIDS name (last but the scans row,
// so that a recording the dataset lists is always whole). Refuses as
// check_placement does; on a failure the files written for this recording
// are removed again. Throws bids_error.
placed_recording place_recording(const placement& p, const calyra_recording& source, transfer how);

}  // namespace calyra::bids
