#include "view/stream_view.h"

#include <iostream>

namespace calyra::view {

std::unique_ptr<live_view> open_stream_view(const cli::stream_options& o, const stream::stream_plan& plan,
                                            const std::string& device, stream::recording_pipeline& pipeline) {
  if (!o.view.enabled) return nullptr;
  view_layout layout;
  for (std::size_t s : plan.electrode_signals) layout.labels.push_back(plan.signals[s].label);
  layout.electrode_signals = plan.electrode_signals;
  layout.rate_hz = o.rate_hz;
  layout.unit = plan.electrode_signals.empty() ? "uV" : plan.signals[plan.electrode_signals.front()].unit;
  layout.device = device;
  layout.file = o.out_path;
  layout.target_seconds = o.seconds;
  std::unique_ptr<live_view> view = open_live_view(o.view, std::move(layout), std::cout, std::cerr);
  pipeline.set_observer(view.get());
  return view;
}

}  // namespace calyra::view
