// The Lab Streaming Layer pieces of one run of `calyra stream`: liblsl,
// loaded before anything else happens, each headset's streams (a sink per
// headset) and the marker sources (one event source for the session: the
// session places each marker on every headset), and what the run tells
// about them.
#pragma once

#include <memory>
#include <optional>
#include <vector>
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

  // Publishes the streams of `h` (with --lsl) and prints their names. With
  // several headsets (`several`) a given --lsl-name is followed by each
  // headset's name.
  void publish(session::headset_stream& h, bool several,
               const std::optional<filtering::filter_settings>& output_filters, std::ostream& out);
  // After every headset was published: says that LSL makes the streams
  // visible to the local network, and starts the marker sources (with
  // --lsl-markers).
  void listen(session::stream_session& run, std::ostream& out);

  // For the JSON sidecar of the recording of `h`.
  recording::lsl_description describe(const session::headset_stream& h) const;

 private:
  struct published {
    session::headset_stream* headset;
    sinks::lsl_sink* sink;  // owned by the headset stream; null without --lsl
  };

  cli::lsl_settings settings_;
  const lsl::api* library_ = nullptr;
  std::optional<lsl::clock_link> link_;
  std::vector<published> headsets_;
  sources::lsl_marker_source* markers_ = nullptr;     // owned by the session
};

}  // namespace calyra::commands
