// The live view in a stream session: a sink of one headset's stream (rows,
// annotations, its status four times a second, the end) and a source of the
// annotations typed into the page.
#pragma once

#include <memory>
#include <string>

#include "session/event_source.h"
#include "session/headset_stream.h"
#include "session/sink.h"
#include "view/live_view.h"

namespace calyra::view {

// Starts the view of `h` (which must outlive it) and prints its address.
// `file` is the recording's name shown on the page ("" when none), `target_seconds`
// the requested length (0: until stopped). Throws app::command_failure when it cannot listen.
std::shared_ptr<live_view> open_stream_view(const view_settings& settings, session::headset_stream& h,
                                            const std::string& file, double target_seconds);

class view_sink final : public session::sink {
 public:
  view_sink(std::shared_ptr<live_view> view, session::headset_stream& h) : view_(std::move(view)), headset_(h) {}

  void rows(const recording::sample_block& rows) override { view_->rows_accepted(rows); }
  void event(const session::placed_event& e) override { view_->annotation_placed(e.sample, e.text); }
  void tick() override;
  // Tells the pages why the stream ended.
  void finish(const session::run_end& end) override;
  // Never thrown: the view drops what it cannot send (see display_tap).
  std::string failure_reason() const override { return "the live view failed"; }

 private:
  void publish();

  std::shared_ptr<live_view> view_;
  session::headset_stream& headset_;
};

// The annotations typed into the page, placed like lines typed on standard
// input; each page hears the outcome.
class view_annotations final : public session::event_source {
 public:
  explicit view_annotations(std::shared_ptr<live_view> view) : view_(std::move(view)) {}
  void deliver(const session::place_event& place) override;

 private:
  std::shared_ptr<live_view> view_;
};

}  // namespace calyra::view
