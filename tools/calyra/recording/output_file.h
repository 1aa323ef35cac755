// A recording is written under a temporary name next to its final path and
// renamed only when it is finished, so an interrupted run never leaves a
// half-written file under the name the user asked for. The temporary file is
// created exclusively and stays locked while this object lives: two runs can
// never write the same file, and a FILE.part left behind by a crash is never
// silently truncated.
#pragma once

#include <string>

namespace calyra::recording {

class output_file {
 public:
  // Creates `final_path`.part now, so that an unwritable location is reported
  // before anything else happens. Refuses (recording_error) when
  // `final_path` exists and `overwrite` is false, when another run is
  // writing it, or when a FILE.part from an earlier run is there (replaced
  // only with `overwrite`).
  output_file(std::string final_path, bool overwrite);
  ~output_file();  // removes the temporary file unless committed

  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;

  const std::string& temporary_path() const { return temporary_; }
  const std::string& final_path() const { return final_; }

  // Replaces what the temporary file holds with `text` in one step (see
  // replace_contents), keeping the file locked. Throws recording_error.
  void replace_temporary(const std::string& text);

  // Moves the file to its final name. Without `overwrite`, a file that
  // appeared under that name meanwhile is not replaced. Throws
  // recording_error (the file then stays under its temporary name).
  void commit();

 private:
  std::string final_;
  std::string temporary_;
  bool overwrite_;
  int lock_fd_ = -1;
  bool committed_ = false;
};

// Replaces the contents of `path` with `text` as one step: written under
// another name, synced, then renamed over it, so that a crash leaves the old
// contents or the new, never a part. Throws recording_error naming `name`.
void replace_contents(const std::string& path, const std::string& text, const std::string& name);

// "rec_events.tsv" and "rec.json" for "rec.bdf": the files written next to
// a recording.
std::string events_path_for(const std::string& recording_path);
std::string json_path_for(const std::string& recording_path);

}  // namespace calyra::recording
