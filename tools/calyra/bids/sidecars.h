// The texts of the files that describe one EEG recording in a BIDS dataset:
// <stem>_eeg.json, _channels.tsv, _events.tsv and _events.json.
#pragma once

#include <string>

#include "bids/calyra_recording.h"

namespace calyra::bids {

// What the dataset writer knows beyond the recording itself.
struct recording_context {
  std::string task;
  double line_frequency_hz = 0.0;  // 50 or 60
  std::string reference = "n/a";   // EEGReference: the headsets do not report theirs
};

// The channel type BIDS names for a signal ("EEG", "MISC", "ACCEL") and its
// unit in BIDS's spelling ("uV", "m/s^2", "n/a").
std::string channel_type(recording::signal_kind kind);
std::string channel_unit(const std::string& unit);

std::string eeg_json(const calyra_recording& r, const recording_context& c);
std::string channels_tsv(const calyra_recording& r);
// trial_type holds each event's text; value is left out (calyra's events
// carry no code).
std::string events_tsv(const calyra_recording& r);
std::string events_json();

}  // namespace calyra::bids
