// The Lab Streaming Layer pieces of one run of `calyra stream`: liblsl,
// loaded before anything else happens, the headset's streams (a sink) and
// the marker sources (an event source), and what the run tells about them.
#pragma once

#include <memory>
#include <optional>
#include <ostream>

#include "cli/options.h"
#include "lsl/lsl_api.h"
#include "lsl/lsl_clock.h"
#include "recording/json_sidecar.h"
#include "session/stream_session.h"
#include "sinks/lsl_sink.h"
#include "sources/lsl_marker_source.h"

namespace calyra::commands {

class lsl_run {
 public:
  // Loads liblsl. Throws app::usage_failure naming every place searched.
  explicit lsl_run(const cli::lsl_settings& settings);

  // Publishes the headset's streams (with --lsl) and starts the marker
  // sources (with --lsl-markers); prints what it publishes and that LSL
  // makes it visible to the local network.
  void attach(session::stream_session& run, session::headset_stream& h,
              const std::optional<filtering::filter_settings>& output_filters, std::ostream& out);

  // For the JSON sidecar.
  recording::lsl_description describe() const;

 private:
  cli::lsl_settings settings_;
  const lsl::api* library_ = nullptr;
  std::optional<lsl::clock_link> link_;
  sinks::lsl_sink* sink_ = nullptr;                   // owned by the headset stream
  sources::lsl_marker_source* markers_ = nullptr;     // owned by the session
};

}  // namespace calyra::commands
