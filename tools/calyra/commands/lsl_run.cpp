#include "commands/lsl_run.h"

#include <cmath>

#include "app/failure.h"
#include "lsl/library_loader.h"

namespace calyra::commands {
namespace {

// Why a marker at `host_time_ns` falls outside what `h` keeps, if it does.
std::optional<std::string> outside_recording(session::headset_stream& h, std::int64_t host_time_ns) {
  double at = 0.0;
  if (cy_eeg_manager_sample_at(h.handle(), host_time_ns, &at) != CY_OK) return std::nullopt;
  const auto sample = std::llround(at);
  const auto first = h.tally().first_sample_number();
  if (!first) return std::nullopt;
  if (sample < static_cast<long long>(*first)) return "sent before the recording's first sample";
  const std::uint64_t target = h.tally().target_samples();
  if (target > 0 && sample >= static_cast<long long>(*first + target)) return "sent after the recording's end";
  return std::nullopt;
}

}  // namespace

lsl_run::lsl_run(const cli::lsl_settings& settings) : settings_(settings) {
  try {
    library_ = &lsl::library();
  } catch (const lsl::library_unavailable& e) {
    throw app::usage_failure(std::string("--lsl") + (settings.publish ? "" : "-markers") + ": " + e.what());
  }
  link_.emplace(*library_);
}

void lsl_run::attach(session::stream_session& run, session::headset_stream& h,
                     const std::optional<filtering::filter_settings>& output_filters, std::ostream& out) {
  if (!link_->same_clock()) {
    out << "LSL: liblsl's clock reads " << link_->offset_s()
        << " s from CLOCK_MONOTONIC; every timestamp is converted by that offset\n";
  }
  std::vector<std::string> excluded;
  if (settings_.publish) {
    auto sink = std::make_unique<sinks::lsl_sink>(h, *library_, *link_, settings_.name, output_filters);
    sink_ = sink.get();
    excluded.push_back(sink->marker_stream_uid());
    out << "LSL: publishing";
    const auto names = sink->stream_names();
    for (std::size_t i = 0; i < names.size(); ++i) out << (i == 0 ? " " : ", ") << names[i];
    out << ".\n     LSL has no access control: they are visible to every machine on the local network "
           "(to keep discovery on this machine, see README.md, \"LSL\").\n";
    h.add_sink(std::move(sink));
  }
  if (!settings_.marker_queries.empty()) {
    session::headset_stream* headset = &h;
    auto source = std::make_unique<sources::lsl_marker_source>(
        *library_, *link_, settings_.marker_queries, excluded,
        [headset] { return headset->clock().info().state != CY_CLOCK_UNKNOWN; },
        [headset](std::int64_t t) { return outside_recording(*headset, t); });
    markers_ = source.get();
    run.add_source(std::move(source));
  }
  out.flush();
}

recording::lsl_description lsl_run::describe() const {
  recording::lsl_description d;
  if (sink_) d.published = sink_->stream_names();
  d.marker_queries = settings_.marker_queries;
  if (markers_) {
    for (const auto& s : markers_->sources()) {
      d.marker_sources.push_back({s.name, s.type, s.source_id, s.hostname, s.offset_known, s.clock_offset_s, s.markers});
    }
    const auto t = markers_->counts();
    d.markers_received = t.received;
    d.markers_placed = t.placed;
    d.markers_outside = t.outside;
    d.markers_not_placed = t.unplaced;
  }
  return d;
}

}  // namespace calyra::commands
