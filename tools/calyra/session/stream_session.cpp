#include "session/stream_session.h"

#include <algorithm>
#include <iostream>

#include "app/failure.h"
#include "app/interrupt.h"
#include "display/progress_bar.h"
#include "recording/recording_writer.h"
#include "session/terminal_display.h"
#include "stream/stall_watch.h"

namespace calyra::session {

// How the run ended.
struct stream_session::outcome {
  std::string stop_reason;          // empty: the requested length was reached
  std::string failure;              // a sink's failure, for the error line
  std::string stall;                // what a stream that stopped delivering showed, empty: none
  std::optional<cy_error> stopped;  // nullopt: a stop was abandoned
  const headset_stream* lost = nullptr;  // the headset whose link dropped
  // With several headsets, those whose link dropped while the others went on.
  std::vector<const headset_stream*> dropped;
  bool dropped_out(const headset_stream& h) const {
    return std::find(dropped.begin(), dropped.end(), &h) != dropped.end();
  }
  std::string link;                 // why a lost link ended the run, empty: it did not
};

// The steps of the run, each once per pass, on the session's thread.
class stream_session::pass {
 public:
  pass(stream_session& s, terminal_display& screen) : s_(s), screen_(screen) {
    for (std::size_t i = 0; i < s_.headsets_.size(); ++i) stalls_.emplace_back(s_.settings_.stall_timeout);
  }

  // Every headset's queued chunks to its tally and sinks; waits a little
  // for the first headset's, so that an idle pass does not spin.
  void take_rows() {
    auto wait = std::chrono::milliseconds(20);
    for (const auto& h : s_.headsets_) {
      h->take_rows(wait);
      wait = std::chrono::milliseconds(0);
    }
  }

  // The sources' events, each placed on every headset. The source hears
  // how it went on the first.
  void place_events(bool last) {
    const place_event place = [this](const timed_event& e) {
      event_outcome first;
      for (std::size_t i = 0; i < s_.headsets_.size(); ++i) {
        const placement p = s_.headsets_[i]->place(e);
        screen_.message(s_.headsets_.size() > 1 ? s_.headsets_[i]->device().name() + ": " + p.message : p.message);
        if (i == 0) first = {p.stored, p.message};
      }
      return first;
    };
    for (const auto& source : s_.sources_) {
      if (last) {
        source->deliver_last(place);
      } else {
        source->deliver(place);
      }
    }
  }

  // Grades the electrodes when due (all that is left, at the end).
  void grade_quality(bool last) {
    for (const auto& h : s_.headsets_) {
      if (h->settings().impedance) continue;
      quality::quality_monitor& q = h->tally().quality();
      if (last ? q.new_samples() > 0 : q.due()) q.evaluate();
    }
  }

  // A sink that fails here (its sidecar cannot be rewritten) fails the run
  // as one failing on rows does: the run ends with what it kept.
  void tick_sinks() {
    for (const auto& h : s_.headsets_) {
      for (const auto& sink : h->sinks()) {
        try {
          sink->tick();
        } catch (const std::runtime_error& e) {
          h->note_failure(*sink, e.what());
        }
      }
    }
  }

  void redraw() {
    bool down = false;
    for (const auto& h : s_.headsets_) down = down || h->reconnecting();
    screen_.refresh(s_.headsets_.front()->tally().samples(), down, [this] { return s_.statuses(); });
  }

  bool length_reached(const outcome& out) const {
    for (const auto& h : s_.headsets_) {
      if (!h->tally().target_reached() && !out.dropped_out(*h)) return false;
    }
    return true;
  }

  // The reason to stop now, or empty to go on: a sink failed, a stream
  // stalled, the user stopped, or a link dropped.
  std::string reason_to_stop(outcome& out) {
    for (std::size_t i = 0; i < s_.headsets_.size() && out.stall.empty(); ++i) {
      headset_stream& h = *s_.headsets_[i];
      if (out.dropped_out(h)) continue;
      if (h.reconnecting()) {
        // An outage is not a stall: the watch starts again with the new stream.
        stalls_[i] = stream::stall_watch(s_.settings_.stall_timeout);
        continue;
      }
      out.stall = stalls_[i].check(h.tally(), h.settings().rate_hz);
      if (!out.stall.empty() && s_.headsets_.size() > 1) out.stall = h.device().name() + ": " + out.stall;
    }
    for (const auto& h : s_.headsets_) {
      if (!h->failure().empty()) {
        out.failure = h->failure();
        return h->failed_sink()->failure_reason();
      }
    }
    if (!out.stall.empty()) return "the stream stalled";
    if (app::interrupt_requested()) return app::interrupt_reason();
    for (const auto& h : s_.headsets_) {
      if (out.dropped_out(*h)) continue;
      // Empty while the link is up or being brought back; else why it
      // could not be (timed out, another headset answered).
      const std::string link = h->look_after_link();
      // A loss that came after look_after_link looked is its to meet on the
      // next pass when reconnecting is on; only without it does a loss end
      // the headset's recording here.
      const bool lost_for_good = h->link_lost() && h->settings().reconnect_timeout == 0.0;
      if (link.empty() && !lost_for_good) continue;
      if (s_.headsets_.size() == 1) {
        if (!link.empty()) {
          out.link = link;
          return link;
        }
        out.lost = h.get();
        return "the headset disconnected";
      }
      // One headset of several: its recording ends here, the others go on.
      out.dropped.push_back(h.get());
      screen_.message("calyra: the link to " + h->device().name() + " dropped" + (link.empty() ? "" : " and " + link) +
                      "; its recording ends at sample " + std::to_string(h->tally().samples()) +
                      ", the other headsets go on");
    }
    if (!out.dropped.empty() && out.dropped.size() == s_.headsets_.size()) return "every headset disconnected";
    return {};
  }

 private:
  stream_session& s_;
  terminal_display& screen_;
  std::vector<stream::stall_watch> stalls_;
};

// Streams until the length is reached or a reason to stop comes; then
// places the last events, stops the streams and takes their last samples.
stream_session::outcome stream_session::stream_until_stopped(terminal_display& screen) {
  pass step(*this, screen);
  outcome out;
  while (true) {
    step.take_rows();
    step.place_events(false);
    screen.show_library_lines();
    step.grade_quality(false);
    step.tick_sinks();
    step.redraw();
    if (step.length_reached(out)) break;
    out.stop_reason = step.reason_to_stop(out);
    if (!out.stop_reason.empty()) break;
  }
  // Events the sources took in after this round's look are part of the
  // recording too: they arrived before it ended.
  step.place_events(true);
  out.stopped = stop_headsets(out);
  for (const auto& h : headsets_) {
    while (h->take_rows(std::chrono::milliseconds(0))) {
    }
  }
  step.grade_quality(true);
  screen.show_library_lines();
  return out;
}

// Stops every stream; nullopt when one stop was abandoned, else the first
// error (CY_OK when all stopped).
// A headset that dropped out has no stream left to stop: what its stop
// answers does not count.
std::optional<cy_error> stream_session::stop_headsets(const outcome& out) {
  cy_error first = CY_OK;
  for (const auto& h : headsets_) {
    const std::optional<cy_error> stopped = h->stop();
    if (!stopped) return std::nullopt;
    if (first == CY_OK && !out.dropped_out(*h)) first = *stopped;
  }
  return first;
}

std::vector<display::stream_status> stream_session::statuses() {
  std::vector<display::stream_status> all;
  for (const auto& h : headsets_) {
    all.push_back(h->status());
    if (headsets_.size() > 1) all.back().headset = h->device().name();
  }
  return all;
}

void stream_session::print_summary(headset_stream& h, const outcome& out) {
  std::ostream& o = std::cout;
  const stream::recording_pipeline& tally = h.tally();
  std::string reason = out.stop_reason;
  if (out.dropped_out(h)) reason = "the headset disconnected";
  o << "Summary" << (headsets_.size() > 1 ? " of " + h.device().name() : "")
    << (reason.empty() ? "" : " (" + reason + ")") << '\n';
  o << "  Duration        " << display::format_seconds(tally.seconds()) << " (" << tally.samples()
    << " samples at " << h.settings().rate_hz << " Hz)\n";
  o << "  Missed packets  " << h.missed_packets() << " (" << tally.lost_samples() << " samples filled)\n";
  o << "  Clock           " << stream::clock_summary(h.clock().info()) << '\n';
  o << "  Annotations     " << tally.annotations() << '\n';
  const std::vector<link_outage> outages = h.outages();
  if (!outages.empty()) {
    double down = 0.0;
    std::uint64_t filled = 0;
    for (const link_outage& x : outages) {
      down += x.seconds;
      filled += x.filled;
    }
    o << "  Link losses     " << outages.size() << " (" << display::format_seconds(down) << " down, " << filled
      << " samples filled" << (outages.back().recovered ? "" : "; the last one did not end") << ")\n";
  }
  std::vector<std::string> remarks = tally.remarks();
  std::vector<std::string> files;
  for (const auto& s : h.sinks()) {
    for (std::string& r : s->remarks()) remarks.push_back(std::move(r));
    for (std::string& f : s->files()) files.push_back(std::move(f));
  }
  for (const std::string& remark : remarks) o << "                  " << remark << '\n';
  for (std::size_t i = 0; i < files.size(); ++i) {
    o << (i == 0 ? "  Recording       " : "                  ") << files[i] << '\n';
  }
  o << "  Quality        ";
  for (const display::electrode_status& e : h.electrode_statuses()) {
    o << ' ' << e.label << ' ' << e.grade;
    if (!e.reason.empty()) o << " (" << e.reason << ")";
  }
  o << std::endl;
}

// Finishes the sinks (the recording names its files before anything more
// is printed: printing can fail or block, on a closed pipe or a stopped
// terminal), then the display, the library's last lines and the summary.
void stream_session::finish(terminal_display& screen, outcome& out) {
  if (!out.stopped && out.stop_reason.empty()) out.stop_reason = app::interrupt_reason();
  for (const auto& h : headsets_) h->finish_sinks({out.dropped_out(*h) ? "the headset disconnected" : out.stop_reason});
  for (const auto& h : headsets_) {
    if (out.failure.empty()) out.failure = h->failure();
  }
  headset_stream& first = *headsets_.front();
  screen.finish(first.tally().samples(), [this] { return statuses(); });
  for (const std::string& line : screen.restore()) std::cout << line << '\n';
  for (const auto& h : headsets_) print_summary(*h, out);
  for (const auto& source : sources_) {
    for (const std::string& line : source->summary()) std::cout << "  " << line << '\n';
  }
  if (std::cout.fail() && first.tally().samples() > 0 && !settings_.recording_path.empty() &&
      out.failure.empty()) {
    std::cerr << "calyra: standard output was closed; the recording went on and is in "
              << settings_.recording_path << std::endl;
  }
}

// The exit status, or the failure thrown for the error line.
int stream_session::exit_status(const outcome& out) {
  bool abandoned = false;
  for (const auto& h : headsets_) abandoned = abandoned || h->abandoned_attempt();
  if (!abandoned) return verdict(out);
  // A connect is still running inside the library: the files are done,
  // leave without waiting for it or closing the library under it, with the
  // status and the error line the run earned.
  int status = 1;
  try {
    status = verdict(out);
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "calyra: error: " << e.what() << std::endl;
    std::_Exit(1);
  }
  std::cout.flush();
  std::_Exit(status);
}

int stream_session::verdict(const outcome& out) {
  if (!out.stopped) {
    // The stop is still running on its thread, inside the library: leave
    // without waiting for it, and without touching the headset again.
    if (!out.failure.empty()) std::cerr << "calyra: error: " << out.failure << std::endl;
    std::cerr << "calyra: interrupted twice: left without waiting for the headset to stop" << std::endl;
    std::_Exit(out.failure.empty() ? 130 : 1);
  }
  if (!out.failure.empty()) throw recording::recording_error(out.failure);
  const bool recorded = !settings_.recording_path.empty();
  const bool saved = recorded && headsets_.front()->tally().samples() > 0;
  if (!out.stall.empty()) {
    throw app::command_failure(out.stall + (saved ? "; what arrived is saved in " + settings_.recording_path
                                                  : recorded ? "; no recording was kept" : ""));
  }
  if (!out.link.empty()) {
    throw app::command_failure::from_code(
        CY_CONNECTION_ERROR, "the link to " + headsets_.front()->device().name() + " dropped and " + out.link +
                                 (saved ? " (what arrived is saved in " + settings_.recording_path + ")" : ""));
  }
  if (!out.dropped.empty()) {
    std::string names;
    for (const headset_stream* h : out.dropped) names += (names.empty() ? "" : ", ") + h->device().name();
    throw app::command_failure::from_code(
        CY_CONNECTION_ERROR, "the link to " + names + " dropped during the stream" +
                                 (recorded ? " (every recording is saved; see " + settings_.recording_path + ")" : ""));
  }
  if (out.lost) {
    throw app::command_failure::from_code(
        CY_CONNECTION_ERROR, "the link to " + out.lost->device().name() + " dropped during the stream" +
                                 (saved ? " (what arrived is saved in " + settings_.recording_path + ")" : ""));
  }
  if (*out.stopped != CY_OK) throw app::command_failure::from_code(*out.stopped, "stopping the stream");
  return app::interrupt_insisted() ? 130 : 0;
}

int stream_session::run() {
  for (const auto& h : headsets_) h->start();
  terminal_display screen(headsets_.front()->settings().rate_hz);
  screen_ = &screen;
  for (const auto& source : sources_) source->begin();
  outcome out = stream_until_stopped(screen);
  finish(screen, out);
  screen_ = nullptr;
  return exit_status(out);
}

void stream_session::lines_echoed(int count) {
  if (screen_) screen_->lines_echoed(count);
}

headset_stream& stream_session::add_headset(headset_settings settings) {
  auto h = std::make_unique<headset_stream>(std::move(settings));
  h->open();
  headsets_.push_back(std::move(h));
  return *headsets_.back();
}

}  // namespace calyra::session
