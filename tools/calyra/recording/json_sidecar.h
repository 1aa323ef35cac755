// The JSON file next to every recording: what was recorded with what, so
// that a recording can be understood without the program that made it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "text/json_text.h"

#include "recording/sample_block.h"

namespace calyra::recording {

// A link loss as the sidecar lists it ("outages").
struct outage_description {
  std::int64_t start_sample = 0;   // row of the first filled sample in the file
  double duration_seconds = 0.0;   // last sample before to first sample after (so far, if not recovered)
  std::uint64_t filled_samples = 0;
  unsigned reconnect_attempts = 0;
  bool recovered = true;           // false: the run ended while the headset was gone
};

// The stream clock when the description was written.
struct clock_description {
  std::string state = "unknown";  // "unknown", "settling" (under 60 s of fit) or "tracking"
  double drift_ppm = 0.0;         // the headset's sample clock against the host's, +: fast
  double rate_hz = 0.0;           // the sample rate measured in host time
  double jitter_ms = 0.0;         // p99 of how late notifications arrived
  double fitted_seconds = 0.0;    // seconds of stream the fit covers
  std::uint64_t packets_fitted = 0;
};

// What the run did on the Lab Streaming Layer.
struct lsl_marker_source_description {
  std::string name;
  std::string type;
  std::string source_id;
  std::string hostname;
  bool offset_known = false;
  double clock_offset_s = 0.0;  // added to the source's timestamps (lsl_time_correction)
  std::uint64_t markers = 0;    // received from it
};
struct lsl_description {
  std::vector<std::string> published;  // "NAME (TYPE)" of each stream published; empty: none
  std::vector<std::string> marker_queries;
  std::vector<lsl_marker_source_description> marker_sources;
  std::uint64_t markers_received = 0;
  std::uint64_t markers_placed = 0;
  std::uint64_t markers_outside = 0;     // outside the recording: counted, not stored
  std::uint64_t markers_not_placed = 0;  // refused, or no stream clock to place them by
};

struct recording_description {
  std::string program_version;
  std::string device_name;
  std::string model;
  unsigned model_code = 0;
  std::string serial_number;
  std::string hardware_version;
  std::string firmware_version;
  unsigned gain = 0;
  bool impedance = false;
  std::string bandpass;  // "1:40" or empty
  double notch_hz = 0.0;
  bool filtered_output = false;
  std::uint64_t samples = 0;
  std::uint64_t missed_packets = 0;
  std::uint64_t lost_samples = 0;
  std::size_t annotations = 0;
  std::string stop_reason;  // empty: ran its course
  // "recording" while the run goes on (the file written at the start),
  // "complete" once finished, "recovered" after `calyra recover`.
  std::string state = "complete";
  std::string recording_file;
  std::string events_file;
  // When the first sample was acquired, by the stream clock; nullopt: not
  // known, and the layout's start time (taken as the stream was set up)
  // stands instead.
  std::optional<std::chrono::system_clock::time_point> first_sample_time;
  clock_description clock;
  std::optional<lsl_description> lsl;  // nullopt: LSL not used
  std::vector<outage_description> outages;
};

// `text` as a JSON string literal (one escaper for the whole program).
using text::json_string;

// Writes the description. Throws recording_error when the file cannot be
// written completely.
// `name` is the file's name in messages (it is written under a temporary one).
void write_json_sidecar(const std::string& path, const recording_layout& layout,
                        const recording_description& d, const std::string& name);

}  // namespace calyra::recording
