// A headset stream published on LSL, as a sink of the session: the rows go
// to the headset's LSL streams (lsl/sample_outlet.h) stamped by the
// headset's stream clock, the placed events to its marker stream at their
// samples' times. Pushing never waits for LSL consumers, so this sink
// never holds the session up, and it never fails the run.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "filtering/signal_filters.h"
#include "lsl/lsl_api.h"
#include "lsl/lsl_clock.h"
#include "lsl/marker_outlet.h"
#include "lsl/sample_outlet.h"
#include "session/headset_stream.h"
#include "session/sink.h"

namespace calyra::sinks {

class lsl_sink final : public session::sink {
 public:
  // Creates the streams (visible on the network from now on). `name`: the
  // EEG stream's name, empty: the headset's. `filters` are applied to the
  // electrodes pushed when set (--filter-output). `h` and `link` must
  // outlive the sink. Throws std::runtime_error when liblsl refuses.
  lsl_sink(session::headset_stream& h, const lsl::api& library, const lsl::clock_link& link, std::string name,
           const std::optional<filtering::filter_settings>& filters);

  void rows(const recording::sample_block& rows) override;
  void event(const session::placed_event& event) override;
  void finish(const session::run_end&) override {}

  std::string failure_reason() const override { return "the LSL stream failed"; }
  std::vector<std::string> remarks() const override;

  // The streams as published ("NAME (EEG)", ...).
  std::vector<std::string> stream_names() const;
  const std::string& marker_stream_uid() const { return markers_->uid(); }

 private:
  session::headset_stream& headset_;
  std::unique_ptr<lsl::sample_outlet> samples_;
  std::unique_ptr<lsl::marker_outlet> markers_;
  std::optional<filtering::output_filter> filter_;
};

}  // namespace calyra::sinks
