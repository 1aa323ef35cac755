// A finished calyra recording as the dataset writer takes it: the BDF file,
// NAME.json and NAME_events.tsv next to it, read back into what the BIDS
// sidecars state.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "recording/events.h"
#include "recording/sample_block.h"

namespace calyra::bids {

struct recorded_signal {
  std::string label;  // as the BDF file holds it ("EEG E1"): the name readers show
  recording::signal_kind kind = recording::signal_kind::electrode;
  std::string unit;   // as written ("uV", "m/s2", "counts", "")
};

// A grade over the whole recording: "bad" when most of its two-second
// windows were graded bad, with the commonest reason.
struct channel_verdict {
  bool bad = false;
  std::string reason;
};

struct calyra_recording {
  std::string bdf_path, description_path, events_path;
  // From NAME.json (empty or zero where it does not say).
  std::string device_name, model, serial_number, firmware_version;
  unsigned gain = 0;
  bool impedance = false;
  std::string bandpass;  // "1:40"
  double notch_hz = 0.0;
  bool filtered_output = false;
  std::string state;     // "complete", "recovered", "recording"
  std::uint64_t filled_samples = 0;
  // From the BDF file.
  std::vector<recorded_signal> signals;
  unsigned rate_hz = 0;
  std::uint64_t samples = 0;  // recorded, without the padding of the last record
  std::chrono::system_clock::time_point start_time;
  // From NAME_events.tsv, in onset order.
  std::vector<recording::recording_event> events;
  // One per electrode signal, in signal order.
  std::vector<channel_verdict> electrode_verdicts;
};

// Reads `bdf_path` and its sidecars. Throws bids_error naming the file that
// is missing or cannot be read; a recording that a run still writes (state
// "recording") is refused.
calyra_recording read_calyra_recording(const std::string& bdf_path);

}  // namespace calyra::bids
