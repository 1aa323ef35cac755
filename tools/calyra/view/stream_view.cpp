#include "view/stream_view.h"

#include <iostream>

namespace calyra::view {

std::shared_ptr<live_view> open_stream_view(const view_settings& settings, session::headset_stream& h,
                                            const std::string& file, double target_seconds) {
  const stream::stream_plan& plan = h.plan();
  view_layout layout;
  for (std::size_t s : plan.electrode_signals) layout.labels.push_back(plan.signals[s].label);
  layout.electrode_signals = plan.electrode_signals;
  layout.rate_hz = h.settings().rate_hz;
  layout.unit = plan.electrode_signals.empty() ? "uV" : plan.signals[plan.electrode_signals.front()].unit;
  layout.device = h.title();
  layout.file = file;
  layout.target_seconds = target_seconds;
  return open_live_view(settings, std::move(layout), std::cout, std::cerr);
}

void view_sink::publish() {
  view_->publish_status(headset_.status(), cy_eeg_manager_get_battery_info(headset_.handle()));
}

void view_sink::tick() {
  if (view_->status_due()) publish();
}

void view_sink::finish(const session::run_end& end) {
  publish();
  view_->finish(end.stop_reason.empty() ? "the stream is complete" : end.stop_reason);
}

void view_annotations::deliver(const session::place_event& place) {
  view_->place_annotation_requests([&place](const annotation_request& r) {
    const session::event_outcome outcome = place({r.arrival_ns, r.text, "view"});
    return annotation_outcome{outcome.stored, outcome.message};
  });
}

}  // namespace calyra::view
