// The recording as a sink of a headset stream: the BDF+ or CSV file (rows
// filtered first when asked), the events table and the JSON sidecar, under
// names reserved by a naming policy.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filtering/signal_filters.h"
#include "recording/json_sidecar.h"
#include "recording/recording_naming.h"
#include "session/headset_stream.h"
#include "session/sink.h"
#include "stream/recording_pipeline.h"

namespace calyra::sinks {
using recording::recording_description;
using recording::recording_files;
using recording::recording_layout;
using recording::sample_block;

// What the recording needs from the command line.
struct recording_settings {
  std::string subject;  // stored in the header and the sidecar
  std::string session;
  std::string note;
  std::string bandpass_text;           // as typed, for the sidecar
  filtering::filter_settings filters;    // described in the header, applied when filter_output
  bool filter_output = false;
  // What the run does on LSL, asked whenever the sidecar is written; unset:
  // LSL not used.
  std::function<recording::lsl_description()> lsl_state;
};

class recording_sink final : public session::sink {
 public:
  // Opens the file under its temporary name and writes the sidecar with
  // what is known. Throws recording_error. `h` must outlive the sink.
  recording_sink(session::headset_stream& h, std::unique_ptr<recording_files> files,
                 const recording_settings& settings);

  void rows(const sample_block& rows) override;
  void event(const session::placed_event& event) override;
  void label_next_gap(const std::string& text) override { pipeline_->label_next_gap(text); }
  // Rewrites the sidecar when a link is lost and when it is back, so that a
  // run killed later still leaves every outage described (recover keeps
  // them).
  void tick() override;
  // Closes the file, writes the events table and the sidecar, and gives
  // them their names. A run that never received a sample leaves no file: a
  // recording without a data record is not one that readers open.
  void finish(const session::run_end& end) override;

  std::string failure_reason() const override { return "the file could not be written"; }
  std::vector<std::string> files() const override { return written_; }
  std::vector<std::string> remarks() const override { return pipeline_->remarks(); }

 private:
  recording_layout layout_of() const;
  recording_description description(const std::string& stop_reason) const;
  void describe_so_far();

  session::headset_stream& headset_;
  std::unique_ptr<recording_files> files_;
  recording_settings settings_;
  recording_layout layout_;
  std::unique_ptr<stream::recording_pipeline> pipeline_;
  std::string rows_failure_;
  std::vector<std::string> written_;
  std::size_t outages_described_ = 0;  // outages over, twice, plus one while one is going on
};

}  // namespace calyra::sinks
