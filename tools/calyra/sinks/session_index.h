// The description of a session of several headsets (FILE.json next to the
// recordings FILE_<headset>): which recording holds which headset, and
// where each recording's first sample lies on the host's time axis, by that
// headset's own clock, so that a reader can line the recordings up. Each
// headset streams into an entry sink; the file is written once the last
// entry has finished, under a temporary name renamed at the end.
#pragma once

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

// The JSON text of the description.
std::string session_index_text(const std::vector<index_entry>& entries, const std::string& stop_reason);

class session_index {
 public:
  // Reserves `path` (see recording::output_file). Throws recording_error.
  session_index(const std::string& path, bool overwrite);

  // Lists a headset that was named but never connected.
  void add_missing(const std::string& name);
  // The sink that fills the entry of `h`, recorded to `recording` (a path).
  // `h` must outlive the sink; the index must outlive it too.
  std::unique_ptr<session::sink> entry_for(session::headset_stream& h, const std::string& recording);

  const std::string& path() const { return file_.final_path(); }

 private:
  class entry_sink;
  void entry_finished(const std::string& stop_reason);

  recording::output_file file_;
  std::vector<index_entry> entries_;
  std::size_t open_entries_ = 0;
};

}  // namespace calyra::sinks
