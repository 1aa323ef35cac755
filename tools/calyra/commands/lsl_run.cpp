#include "commands/lsl_run.h"

#include <algorithm>
#include <cmath>

#include "app/failure.h"
#include "lsl/library_loader.h"

namespace calyra::commands {
namespace {

// Why a marker at `host_time_ns` falls outside what `h` keeps, if it does.
std::optional<std::string> outside_recording(session::headset_stream& h, std::int64_t host_time_ns) {
  // On the recording's axis: after a reconnect the stream numbers from 0 again.
  const std::optional<double> at = h.clock().sample_at(host_time_ns);
  if (!at) return std::nullopt;
  const auto sample = std::llround(*at);
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

void lsl_run::publish(session::headset_stream& h, bool several,
                      const std::optional<filtering::filter_settings>& output_filters, std::ostream& out) {
  if (headsets_.empty() && !link_->same_clock()) {
    out << "LSL: liblsl's clock reads " << link_->offset_s()
        << " s from CLOCK_MONOTONIC; every timestamp is converted by that offset\n";
  }
  if (!settings_.publish) {
    headsets_.push_back({&h, nullptr});
    return;
  }
  std::string name = settings_.name;
  if (several && !name.empty()) name += " " + h.device().name();
  auto sink = std::make_unique<sinks::lsl_sink>(h, *library_, *link_, name, output_filters);
  headsets_.push_back({&h, sink.get()});
  out << "LSL: publishing";
  const auto names = sink->stream_names();
  for (std::size_t i = 0; i < names.size(); ++i) out << (i == 0 ? " " : ", ") << names[i];
  out << ".\n";
  h.add_sink(std::move(sink));
}

void lsl_run::listen(session::stream_session& run, std::ostream& out) {
  std::vector<std::string> excluded;
  for (const published& p : headsets_) {
    if (p.sink != nullptr) excluded.push_back(p.sink->marker_stream_uid());
  }
  if (!excluded.empty()) {
    out << "     LSL has no access control: " << (excluded.size() == 1 ? "they are" : "these are")
        << " visible to every machine on the local network (to keep discovery on this machine, see README.md, "
           "\"LSL\").\n";
  }
  if (settings_.marker_queries.empty()) return;
  std::vector<session::headset_stream*> headsets;
  for (const published& p : headsets_) headsets.push_back(p.headset);
  // A marker waits until every headset's clock can place it; it falls
  // outside the run when no recording holds its moment.
  auto source = std::make_unique<sources::lsl_marker_source>(
      *library_, *link_, settings_.marker_queries, excluded,
      // A headset whose link is being brought back (or was given up) places
      // markers by host time; it holds no one up.
      [headsets] {
        return std::all_of(headsets.begin(), headsets.end(), [](session::headset_stream* h) {
          return h->reconnecting() || h->clock().info().state != CY_CLOCK_UNKNOWN;
        });
      },
      [headsets](std::int64_t t) -> std::optional<std::string> {
        std::optional<std::string> reason;
        for (session::headset_stream* h : headsets) {
          reason = outside_recording(*h, t);
          if (!reason) return std::nullopt;
        }
        return reason;
      });
  markers_ = source.get();
  run.add_source(std::move(source));
  out.flush();
}

recording::lsl_description lsl_run::describe(const session::headset_stream& h) const {
  recording::lsl_description d;
  for (const published& p : headsets_) {
    if (p.headset == &h && p.sink != nullptr) d.published = p.sink->stream_names();
  }
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
