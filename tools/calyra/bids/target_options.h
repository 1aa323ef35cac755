// What the command line says about a recording's place in a BIDS dataset,
// for `calyra bids` (import) and `calyra stream --bids`.
#pragma once

#include <optional>
#include <string>

#include "bids/dataset_writer.h"

namespace calyra::bids {

struct target_options {
  std::string root;  // empty: no dataset
  std::string subject, session, task, acquisition, run;
  std::optional<double> line_frequency_hz;
};

// The placement the options ask for. Throws app::usage_failure when a label
// breaks the BIDS rule or --line-freq is neither 50 nor 60: both are the
// command line's fault, found before anything is touched.
placement placement_from(const target_options& options);

// The placement of one of several headsets recorded together: its
// acquisition label is --acq (when given) followed by the letters and digits
// of the headset's name ("CY KESTREL 5" -> "CYKESTREL5"), so that recordings
// made at once differ only in that label, as BIDS names simultaneous
// recordings. Throws app::usage_failure as placement_from does.
placement placement_for_one_of_several(const target_options& options, const std::string& device);

}  // namespace calyra::bids
