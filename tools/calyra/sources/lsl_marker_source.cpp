#include "sources/lsl_marker_source.h"

#include <cstdio>

namespace calyra::sources {
namespace {

constexpr std::size_t examples_kept = 5;

}  // namespace

lsl_marker_source::lsl_marker_source(const lsl::api& library, const lsl::clock_link& link,
                                     std::vector<std::string> queries, std::vector<std::string> excluded_uids,
                                     std::function<bool()> clocks_known, outside_check outside)
    : clocks_known_(std::move(clocks_known)), outside_(std::move(outside)) {
  listener_ = std::make_unique<lsl::marker_listener>(
      library, link, std::move(queries),
      [this](const lsl::received_marker& m) {
        std::lock_guard lock(mutex_);
        ++tally_.received;
        waiting_.push_back(m);
      },
      std::move(excluded_uids));
}

lsl_marker_source::~lsl_marker_source() { listener_->stop(); }

void lsl_marker_source::deliver(const session::place_event& place) { place_waiting(place, false); }

void lsl_marker_source::deliver_last(const session::place_event& place) {
  // What arrives after this point belongs to no recording: stop listening
  // first, then place everything that came.
  listener_->stop();
  place_waiting(place, true);
}

void lsl_marker_source::place_waiting(const session::place_event& place, bool last) {
  if (!clocks_known_() && !last) return;
  const bool known = clocks_known_();
  std::deque<lsl::received_marker> now;
  {
    std::lock_guard lock(mutex_);
    now.swap(waiting_);
  }
  for (const auto& m : now) {
    if (!known) {
      not_stored(m, "the stream clock was never known", &tally::unplaced);
      continue;
    }
    if (auto why = outside_(m.host_time_ns)) {
      not_stored(m, *why, &tally::outside);
      continue;
    }
    const session::event_outcome outcome = place({m.host_time_ns, m.text, m.source});
    std::lock_guard lock(mutex_);
    if (outcome.stored) {
      ++tally_.placed;
    } else {
      ++tally_.unplaced;
      if (tally_.examples.size() < examples_kept) tally_.examples.push_back(outcome.message);
    }
  }
}

void lsl_marker_source::not_stored(const lsl::received_marker& m, const std::string& why,
                                   std::uint64_t tally::*counter) {
  std::lock_guard lock(mutex_);
  ++(tally_.*counter);
  if (tally_.examples.size() < examples_kept) {
    tally_.examples.push_back("marker \"" + m.text + "\" from \"" + m.source + "\" not stored: " + why);
  }
}

std::vector<std::string> lsl_marker_source::summary() const {
  const tally t = counts();
  std::vector<std::string> lines;
  std::string first = "LSL markers     " + std::to_string(t.received) + " received, " + std::to_string(t.placed) +
                      " placed";
  if (t.outside > 0) first += ", " + std::to_string(t.outside) + " outside the recording (not stored)";
  if (t.unplaced > 0) first += ", " + std::to_string(t.unplaced) + " not placed";
  lines.push_back(first);
  const auto sources = listener_->sources();
  if (sources.empty()) lines.push_back("                no stream matched");
  for (const auto& s : sources) {
    char offset[64] = "offset not measured";
    if (s.offset_known) std::snprintf(offset, sizeof offset, "clock offset %+.3f ms", s.clock_offset_s * 1e3);
    lines.push_back("                " + s.name + " (" + s.type + ", " + s.hostname + "): " +
                    std::to_string(s.markers) + ", " + offset);
  }
  for (const auto& e : t.examples) lines.push_back("                " + e);
  return lines;
}

lsl_marker_source::tally lsl_marker_source::counts() const {
  std::lock_guard lock(mutex_);
  return tally_;
}

}  // namespace calyra::sources
