// The files a BIDS dataset keeps once for all its recordings:
// dataset_description.json, README, participants.tsv and each session's
// scans table. Each is written whole under another name and renamed, so a
// crash leaves the old table or the new one.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "bids/entities.h"

namespace calyra::bids {

// Creates `root` when absent, dataset_description.json when absent (never
// replaced: the user may have filled it in) and a README stub when the
// dataset has no README of any kind. Throws bids_error.
void prepare_dataset(const std::string& root, const std::string& program_version);

// Adds a row for the subject to participants.tsv (created with a
// participant_id column when absent); existing rows and columns are kept and
// the new row holds n/a in the columns it has no value for.
void add_participant(const std::string& root, const std::string& subject);

// Adds (or replaces) the row of `relative_file` (relative to the session
// folder, "eeg/..._eeg.bdf") in the session's scans table, with its
// acquisition time in UTC.
void add_scan(const std::string& root, const entities& e, const std::string& relative_file,
              std::chrono::system_clock::time_point acquired);

// The power line frequency the dataset's EEG recordings state, when they
// all state the same; nullopt when none states one. Throws bids_error when
// they disagree.
std::optional<double> stated_line_frequency(const std::string& root);

}  // namespace calyra::bids
