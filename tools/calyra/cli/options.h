// What the command line asks for, after parsing. Plain values only: the
// commands validate them against the connected model.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bids/target_options.h"
#include "filtering/filter_settings.h"
#include "library/core_session.h"
#include "view/view_settings.h"

namespace calyra::cli {

using global_options = library::library_options;

using band = filtering::band;

// Lab Streaming Layer: publishing the stream, and markers from other programs.
struct lsl_settings {
  bool publish = false;                     // --lsl
  std::string name;                         // --lsl-name, empty: the headset's name
  std::vector<std::string> marker_queries;  // --lsl-markers, each a name or PROPERTY=VALUE
  bool any() const { return publish || !marker_queries.empty(); }
};

struct stream_options {
  std::vector<std::string> devices;   // the headsets to stream together, as named
  std::string device;                 // the first of them
  bool allow_missing = false;         // record the headsets that connect when another does not
  std::string seconds_text = "10";    // --seconds as typed
  double seconds = 10.0;              // parsed from seconds_text; 0: until Ctrl-C
  unsigned rate_hz = 250;             // 250 or 500
  unsigned gain = 8;                  // 1, 2, 4, 6, 8 or 12
  std::string channels_text;         // --channels as typed
  std::vector<unsigned> electrodes;   // 1-based, parsed from channels_text; empty: all
  bool contact = false;
  bool accel = false;
  bool impedance = false;
  std::uint64_t chunk_size = 0;       // 0: the library default
  std::string out_path;               // empty: no recording
  bool overwrite = false;             // replace an existing recording
  std::string subject;                // stored in the recording's header
  std::string session;
  std::string note;
  std::string bandpass_text;          // --bandpass as typed
  std::optional<band> bandpass;       // parsed from bandpass_text
  double notch_hz = 0.0;              // 0: no notch
  bool filter_output = false;
  double stall_timeout = 5.0;         // seconds without a decoded sample before giving up, 0: never
  double reconnect_timeout = -1.0;    // seconds to get a lost link back, < 0: the rest of the run, 0: none
  view::view_settings view;           // the live view in the browser
  bids::target_options bids;          // --bids ROOT and the recording's BIDS names; root empty: none
  lsl_settings lsl;
};

struct charging_options {
  std::string device;
  std::optional<unsigned> timeout;  // sleep timeout, 1..255
  std::optional<unsigned> flag;     // 0 or 1
};

struct update_options {
  std::string device;
  std::string image_path;
};

struct recover_options {
  std::vector<std::string> paths;  // FILE.part left by runs that did not finish
};

struct bids_import_options {
  std::string file;              // a calyra BDF recording
  bids::target_options target;   // ROOT and the names
};

enum class command { none, scan, info, stream, battery, charging, update, recover, bids };

struct parsed_command_line {
  command which = command::none;
  global_options global;
  std::string device;  // info, battery
  stream_options stream;
  charging_options charging;
  update_options update;
  recover_options recover;
  bids_import_options bids_import;
};

}  // namespace calyra::cli
