// How calyra's streams describe themselves on LSL: names, types, source ids
// and the conventional metadata (desc/channels, desc/acquisition,
// desc/filtering) that LSL consumers read.
#pragma once

#include <string>
#include <vector>

#include "lsl/handles.h"
#include "lsl/lsl_api.h"
#include "recording/sample_block.h"

namespace calyra::lsl {

struct acquisition_description {
  std::string manufacturer = "Calyra";
  std::string model;
  std::string serial;
  std::string firmware;
};

// The filters applied to the electrode signals pushed; zero: not applied.
struct filter_description {
  double highpass_hz = 0.0;
  double lowpass_hz = 0.0;
  double notch_hz = 0.0;
  double notch_width_hz = 0.0;
  int order = 0;       // of each filter
  std::string design;  // "Butterworth, causal"
};

struct headset_streams_description {
  std::string name;       // the EEG stream's name; the others are named after it
  std::string source_id;  // stable across runs (the headset's serial); the others append to it
  unsigned rate_hz = 0;
  std::vector<recording::signal_description> signals;  // the recording's signals, in order
  acquisition_description acquisition;
  filter_description filters;
};

// Each signal kind becomes its own stream with the EEG stream's rate and
// timestamps: electrodes as "EEG" (named `name`), contact flags as
// "Contact" ("<name> Contact", 1 = in contact), accelerometer axes as
// "Accelerometer" ("<name> Accelerometer"). One kind per stream is what LSL
// consumers expect: they treat every channel of an EEG stream as EEG.
struct stream_kind_plan {
  recording::signal_kind kind;
  std::string name;
  std::string type;
  std::string source_id;
  std::vector<std::size_t> signals;  // indices into the description's signals
};
std::vector<stream_kind_plan> plan_kinds(const headset_streams_description& description);

// A float32 stream description with its desc/ metadata filled in.
owned_streaminfo make_signal_info(const api& library, const headset_streams_description& description,
                                  const stream_kind_plan& plan);

// The marker stream of a headset stream: "<name> Markers", type "Markers",
// one string channel, irregular rate.
owned_streaminfo make_marker_info(const api& library, const std::string& eeg_name,
                                  const std::string& eeg_source_id);

// LSL's name for a unit ("uV" is "microvolts").
std::string lsl_unit(const std::string& unit);

}  // namespace calyra::lsl
