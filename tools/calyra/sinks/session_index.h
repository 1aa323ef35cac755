// The description of a session of several headsets (FILE.json next to the
// recordings FILE_<headset>): which recording holds which headset, and
// where each recording's first sample lies on the host's time axis, by that
// headset's own clock, so that a reader can line the recordings up. Each
// headset streams into an entry sink. While the run goes on, the
// description is kept under the temporary name (FILE.json.part, state
// "recording"): first once every headset's first sample is on its clock,
// then every second, so that a run that never ends (killed, power lost)
// still leaves the time axis behind; `calyra recover` gives it its name.
// Once the last entry has finished it is written in full and renamed.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "recording/json_sidecar.h"
#include "recording/output_file.h"
#include "session/headset_stream.h"
#include "session/sink.h"

namespace calyra::sinks {

// One headset as the session's description lists it.
struct index_entry {
  std::string name;
  std::string recording;                   // file name of its data file; empty: none was written
  bool connected = true;                   // false: it never connected (--allow-missing)
  std::optional<std::int64_t> first_sample_host_time_ns;  // CLOCK_MONOTONIC; nullopt: no sample or no clock
  std::uint64_t first_sample_number = 0;  // the headset's number of the recording's first sample
  std::uint64_t samples = 0;
  double rate_hz = 0.0;                    // the nominal rate
  recording::clock_description clock;
  std::string stop_reason;                 // why its recording ended early, empty: it did not
};

// The JSON text of the description; `state` is "recording", "complete" or
// "recovered".
std::string session_index_text(const std::vector<index_entry>& entries, const std::string& stop_reason,
                               const std::string& state);

// Whether `path` names a session description left while recording (FILE.json.part).
bool is_session_index_part(const std::string& path);

// Gives FILE.json.part, the description a run left while recording, its
// final name with the state "recovered"; returns that name. Throws
// recording::recording_error when it is not such a description or the name
// is taken.
std::string recover_session_index(const std::string& part_path);

class session_index {
 public:
  // Reserves `path` (see recording::output_file). Throws recording_error.
  session_index(const std::string& path, bool overwrite);
  ~session_index();
  session_index(const session_index&) = delete;
  session_index& operator=(const session_index&) = delete;

  // Lists a headset that was named but never connected.
  void add_missing(const std::string& name);
  // The sink that fills the entry of `h`, recorded to `recording` (a path).
  // `h` must outlive the sink; the index must outlive it too.
  std::unique_ptr<session::sink> entry_for(session::headset_stream& h, const std::string& recording);

  const std::string& path() const { return file_.final_path(); }

 private:
  class entry_sink;
  void entry_finished(const std::string& stop_reason);
  // Writes the description under the temporary name when it is due.
  void checkpoint();

  recording::output_file file_;
  std::vector<index_entry> entries_;
  std::size_t open_entries_ = 0;
  std::optional<std::chrono::steady_clock::time_point> last_checkpoint_;
};

}  // namespace calyra::sinks
