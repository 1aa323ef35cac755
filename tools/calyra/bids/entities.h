// Where a recording goes in a BIDS dataset: the entities that name it
// (subject, session, task, acquisition, run) and the folders and file names
// built from them.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace calyra::bids {

// A dataset cannot take the recording as asked. The message says why and,
// where it can, what to give instead.
class bids_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct entities {
  std::string subject;      // required
  std::string session;      // empty: the dataset has no session level
  std::string task;         // required
  std::string acquisition;  // empty: none
  std::string run;          // digits, empty: none
};

// Refuses (bids_error) a label that is empty or not made of ASCII letters
// and digits only, and a run that is not a whole number, naming the option
// (`--subject`, ...) and the rule.
void check_entities(const entities& e);

// "sub-01_ses-2_task-rest_acq-left_run-1": the entities in their fixed order.
std::string file_stem(const entities& e);
// "sub-01" or "sub-01/ses-2", relative to the dataset root.
std::string session_folder(const entities& e);
// "sub-01[/ses-2]/eeg".
std::string data_folder(const entities& e);
// "sub-01[/ses-2]/eeg/<stem>_eeg.bdf".
std::string recording_path(const entities& e);

// The entities of a BIDS EEG recording's file name ("<stem>_eeg.bdf",
// also with a leading '.' or a trailing ".part"), nullopt for any other name.
std::optional<entities> parse_recording_name(std::string_view file_name);

}  // namespace calyra::bids
