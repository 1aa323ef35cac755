// Where a headset's recording and its sidecars go, as a policy: `--out FILE`
// names them after FILE; other layouts (one file per headset, a data-set
// folder) are other policies. The names are reserved before any headset is
// touched, so that an unusable or taken path is reported first.
#pragma once

#include <memory>
#include <string>

#include "recording/output_file.h"

namespace calyra::recording {

struct recording_names {
  std::string data;         // the BDF+ or CSV file
  std::string events;       // the events table
  std::string description;  // the JSON sidecar
};

class recording_naming {
 public:
  virtual ~recording_naming() = default;
  // The names for the recording of the headset called `device`.
  virtual recording_names names_for(const std::string& device) const = 0;
};

// --out FILE: FILE, FILE_events.tsv and FILE.json, whatever the headset.
class out_path_naming final : public recording_naming {
 public:
  explicit out_path_naming(std::string path) : path_(std::move(path)) {}
  recording_names names_for(const std::string& device) const override;

 private:
  std::string path_;
};

// --out FILE with several headsets: each records to FILE_<headset>, the
// headset's name with every character but letters and digits made '-'
// (session.bdf: session_CY-KESTREL-5.bdf), and FILE.json lists them all.
class per_headset_naming final : public recording_naming {
 public:
  explicit per_headset_naming(std::string path) : path_(std::move(path)) {}
  recording_names names_for(const std::string& device) const override;
  // The session's own description, listing every headset's recording.
  std::string session_description() const { return json_path_for(path_); }

 private:
  std::string path_;
};

// "CY KESTREL 5" -> "CY-KESTREL-5".
std::string file_name_part(const std::string& device);

// The three files of one recording, reserved under temporary names (removed
// at exit unless committed).
struct recording_files {
  output_file data;
  output_file events;
  output_file description;

  // Throws recording_error when a name is unusable or taken.
  recording_files(const recording_names& names, bool overwrite);
  ~recording_files();  // their names are no longer removed by a second signal
  recording_files(const recording_files&) = delete;
  recording_files& operator=(const recording_files&) = delete;

  // The sidecars first: the recording's own name appears last, complete.
  void commit();
};

}  // namespace calyra::recording
