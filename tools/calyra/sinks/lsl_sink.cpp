#include "sinks/lsl_sink.h"

#include "device/headset.h"

namespace calyra::sinks {
namespace {

lsl::filter_description describe(const std::optional<filtering::filter_settings>& filters) {
  lsl::filter_description d;
  if (!filters) return d;
  if (filters->bandpass) {
    d.highpass_hz = filters->bandpass->low_hz;
    d.lowpass_hz = filters->bandpass->high_hz;
  }
  if (filters->notch_hz > 0.0) {
    d.notch_hz = filters->notch_hz;
    d.notch_width_hz = filtering::notch_width_hz;
  }
  d.order = filtering::output_filter_order;
  d.design = "Butterworth, causal";
  return d;
}

}  // namespace

lsl_sink::lsl_sink(session::headset_stream& h, const lsl::api& library, const lsl::clock_link& link,
                   std::string name, const std::optional<filtering::filter_settings>& filters)
    : headset_(h) {
  const auto& info = h.device().info();
  lsl::headset_streams_description d;
  d.name = name.empty() ? h.device().name() : std::move(name);
  // The serial is what stays the same when calyra restarts, so consumers
  // find the same stream again.
  d.source_id = "Calyra " + h.device().model_name() + " " + std::to_string(info.serial_number);
  d.rate_hz = h.settings().rate_hz;
  d.signals = h.plan().signals;
  d.acquisition = {"Calyra", h.device().model_name(), std::to_string(info.serial_number),
                   device::version_text(info.firmware_version)};
  if (filters && filters->any()) {
    d.filters = describe(filters);
    filter_.emplace(*filters, h.settings().rate_hz, h.plan().electrode_signals);
  }
  samples_ = std::make_unique<lsl::sample_outlet>(library, link, d);
  markers_ = std::make_unique<lsl::marker_outlet>(library, link, d.name, d.source_id);
}

void lsl_sink::rows(const recording::sample_block& rows) {
  if (filter_) {
    samples_->push(filter_->push(rows), headset_.clock());
  } else {
    samples_->push(rows, headset_.clock());
  }
}

void lsl_sink::event(const session::placed_event& event) {
  // At the time of the sample it was placed on, as the recording has it.
  const auto at = headset_.clock().host_time_of(static_cast<double>(event.sample));
  markers_->push(at ? *at : event.host_time_ns, event.text);
}

std::vector<std::string> lsl_sink::remarks() const {
  std::vector<std::string> out;
  if (samples_->dropped_unclocked() > 0) {
    out.push_back("LSL: " + std::to_string(samples_->dropped_unclocked()) +
                  " samples from before the stream clock was known were not published");
  }
  if (samples_->timestamps_held_back() > 0) {
    out.push_back("LSL: " + std::to_string(samples_->timestamps_held_back()) +
                  " timestamps were moved forward to keep them increasing where the clock's estimate moved back");
  }
  return out;
}

std::vector<std::string> lsl_sink::stream_names() const {
  std::vector<std::string> out;
  for (const auto& s : samples_->streams()) out.push_back(s.name + " (" + s.type + ")");
  out.push_back(markers_->name() + " (Markers)");
  return out;
}

}  // namespace calyra::sinks
