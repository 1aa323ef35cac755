#include "lsl/stream_metadata.h"

#include <sstream>

namespace calyra::lsl {
namespace {

using recording::signal_kind;

std::string number_text(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

void add_filter(const api& library, xml filtering, const char* kind, const filter_description& f,
                double lower, double upper) {
  xml filter = library.append_child(filtering, kind);
  library.append_child_value(filter, "design", f.design.c_str());
  if (lower > 0.0) library.append_child_value(filter, "lower", number_text(lower).c_str());
  if (upper > 0.0) library.append_child_value(filter, "upper", number_text(upper).c_str());
  if (f.order > 0) library.append_child_value(filter, "order", std::to_string(f.order).c_str());
}

const char* channel_type(signal_kind kind) {
  switch (kind) {
    case signal_kind::electrode: return "EEG";
    case signal_kind::contact: return "Contact";
    case signal_kind::accelerometer: return "Accelerometer";
  }
  return "Misc";
}

}  // namespace

std::string lsl_unit(const std::string& unit) {
  if (unit == "uV") return "microvolts";
  if (unit == "m/s2") return "meters per second squared";
  return unit;
}

std::vector<stream_kind_plan> plan_kinds(const headset_streams_description& description) {
  const std::string id = description.source_id.empty() ? description.name : description.source_id;
  std::vector<stream_kind_plan> plans = {
      {signal_kind::electrode, description.name, "EEG", id, {}},
      {signal_kind::contact, description.name + " Contact", "Contact", id + " contact", {}},
      {signal_kind::accelerometer, description.name + " Accelerometer", "Accelerometer", id + " accelerometer", {}}};
  for (std::size_t s = 0; s < description.signals.size(); ++s) {
    for (auto& plan : plans) {
      if (plan.kind == description.signals[s].kind) plan.signals.push_back(s);
    }
  }
  std::vector<stream_kind_plan> used;
  for (auto& plan : plans) {
    if (!plan.signals.empty()) used.push_back(std::move(plan));
  }
  return used;
}

owned_streaminfo make_signal_info(const api& library, const headset_streams_description& description,
                                  const stream_kind_plan& plan) {
  owned_streaminfo info(
      library.create_streaminfo(plan.name.c_str(), plan.type.c_str(), static_cast<std::int32_t>(plan.signals.size()),
                                description.rate_hz, format_float32, plan.source_id.c_str()),
      library.destroy_streaminfo);
  xml desc = library.get_desc(info.get());
  xml channels = library.append_child(desc, "channels");
  for (std::size_t s : plan.signals) {
    const auto& signal = description.signals[s];
    xml channel = library.append_child(channels, "channel");
    library.append_child_value(channel, "label", signal.label.c_str());
    library.append_child_value(channel, "unit", lsl_unit(signal.unit).c_str());
    library.append_child_value(channel, "type", channel_type(signal.kind));
  }
  const auto& a = description.acquisition;
  xml acquisition = library.append_child(desc, "acquisition");
  library.append_child_value(acquisition, "manufacturer", a.manufacturer.c_str());
  library.append_child_value(acquisition, "model", a.model.c_str());
  library.append_child_value(acquisition, "serial_number", a.serial.c_str());
  library.append_child_value(acquisition, "firmware", a.firmware.c_str());
  if (plan.kind == signal_kind::electrode) {
    const auto& f = description.filters;
    xml filtering = library.append_child(desc, "filtering");
    if (f.highpass_hz > 0.0) add_filter(library, filtering, "highpass", f, f.highpass_hz, 0.0);
    if (f.lowpass_hz > 0.0) add_filter(library, filtering, "lowpass", f, 0.0, f.lowpass_hz);
    if (f.notch_hz > 0.0) {
      add_filter(library, filtering, "notch", f, f.notch_hz - f.notch_width_hz / 2.0, f.notch_hz + f.notch_width_hz / 2.0);
    }
  }
  return info;
}

owned_streaminfo make_marker_info(const api& library, const std::string& eeg_name,
                                  const std::string& eeg_source_id) {
  const std::string name = eeg_name + " Markers";
  const std::string id = (eeg_source_id.empty() ? eeg_name : eeg_source_id) + " markers";
  return owned_streaminfo(library.create_streaminfo(name.c_str(), "Markers", 1, irregular_rate, format_string, id.c_str()),
                          library.destroy_streaminfo);
}

}  // namespace calyra::lsl
