#include "recording/json_sidecar.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "recording/output_file.h"
#include "recording/recording_writer.h"
#include "text/table_text.h"

namespace calyra::recording {
namespace {

const char* kind_name(signal_kind kind) {
  switch (kind) {
    case signal_kind::electrode: return "EEG";
    case signal_kind::contact: return "contact";
    case signal_kind::accelerometer: return "accelerometer";
  }
  return "other";
}

// `value` with `digits` significant digits (a stream's default of 6 would
// cut a measured rate to a few ppm).
std::string number(double value, int digits) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return text;
}

std::string string_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : ", ") + json_string(items[i]);
  return out + "]";
}

// One line, as every field.
std::string lsl_object(const std::optional<lsl_description>& lsl) {
  if (!lsl) return "null";
  std::ostringstream j;
  j << "{\"published\": " << string_list(lsl->published) << ", \"marker_queries\": "
    << string_list(lsl->marker_queries) << ", \"marker_sources\": [";
  for (std::size_t i = 0; i < lsl->marker_sources.size(); ++i) {
    const auto& s = lsl->marker_sources[i];
    j << (i == 0 ? "" : ", ") << "{\"name\": " << json_string(s.name) << ", \"type\": " << json_string(s.type)
      << ", \"source_id\": " << json_string(s.source_id) << ", \"hostname\": " << json_string(s.hostname)
      << ", \"clock_offset_ms\": " << (s.offset_known ? number(s.clock_offset_s * 1e3, 6) : "null")
      << ", \"markers\": " << s.markers << "}";
  }
  j << "], \"markers_received\": " << lsl->markers_received << ", \"markers_placed\": " << lsl->markers_placed
    << ", \"markers_outside_recording\": " << lsl->markers_outside
    << ", \"markers_not_placed\": " << lsl->markers_not_placed << "}";
  return j.str();
}

}  // namespace

void write_json_sidecar(const std::string& path, const recording_layout& layout,
                        const recording_description& d, const std::string& name) {
  std::ostringstream j;
  j << "{\n";
  j << "  \"program\": " << json_string("calyra " + d.program_version) << ",\n";
  j << "  \"device\": {\"name\": " << json_string(d.device_name) << ", \"model\": " << json_string(d.model)
    << ", \"model_code\": " << d.model_code << ", \"serial_number\": " << json_string(d.serial_number)
    << ", \"hardware\": " << json_string(d.hardware_version) << ", \"firmware\": "
    << json_string(d.firmware_version) << "},\n";
  j << "  \"start_time\": " << json_string(text::utc_iso_time(d.first_sample_time.value_or(layout.start_time), 3)) << ",\n";
  j << "  \"start_time_source\": "
    << json_string(d.first_sample_time ? "stream clock" : "host clock when the stream was set up") << ",\n";
  j << "  \"sample_rate_hz\": " << layout.sample_rate_hz << ",\n";
  j << "  \"gain\": " << d.gain << ",\n";
  j << "  \"impedance_mode\": " << (d.impedance ? "true" : "false") << ",\n";
  j << "  \"signals\": [";
  for (std::size_t i = 0; i < layout.signals.size(); ++i) {
    const signal_description& s = layout.signals[i];
    j << (i == 0 ? "\n" : ",\n") << "    {\"label\": " << json_string(s.label) << ", \"type\": "
      << json_string(kind_name(s.kind)) << ", \"unit\": " << json_string(s.unit) << "}";
  }
  j << "\n  ],\n";
  j << "  \"filters\": {\"bandpass_hz\": " << (d.bandpass.empty() ? "null" : json_string(d.bandpass))
    << ", \"notch_hz\": ";
  if (d.notch_hz > 0.0) {
    j << d.notch_hz;
  } else {
    j << "null";
  }
  j << ", \"applied_to_recording\": " << (d.filtered_output ? "true" : "false") << "},\n";
  j << "  \"state\": " << json_string(d.state) << ",\n";
  j << "  \"samples\": " << d.samples << ",\n";
  j << "  \"duration_seconds\": " << static_cast<double>(d.samples) / layout.sample_rate_hz << ",\n";
  j << "  \"missed_packets\": " << d.missed_packets << ",\n";
  j << "  \"filled_samples\": " << d.lost_samples << ",\n";
  j << "  \"annotations\": " << d.annotations << ",\n";
  j << "  \"outages\": [";
  for (std::size_t i = 0; i < d.outages.size(); ++i) {
    const outage_description& o = d.outages[i];
    j << (i == 0 ? "" : ", ") << "{\"start_seconds\": " << number(static_cast<double>(o.start_sample) / layout.sample_rate_hz, 6)
      << ", \"start_sample\": " << o.start_sample << ", \"duration_seconds\": " << number(o.duration_seconds, 6)
      << ", \"filled_samples\": " << o.filled_samples << ", \"reconnect_attempts\": " << o.reconnect_attempts
      << ", \"recovered\": " << (o.recovered ? "true" : "false") << "}";
  }
  j << "],\n";
  // One line, as every field: recover rewrites fields line by line.
  j << "  \"clock\": {\"state\": " << json_string(d.clock.state) << ", \"drift_ppm\": " << number(d.clock.drift_ppm, 6)
    << ", \"rate_hz\": " << number(d.clock.rate_hz, 12) << ", \"jitter_p99_ms\": " << number(d.clock.jitter_ms, 4)
    << ", \"packets_fitted\": " << d.clock.packets_fitted << ", \"fitted_seconds\": "
    << number(d.clock.fitted_seconds, 6) << "},\n";
  j << "  \"lsl\": " << lsl_object(d.lsl) << ",\n";
  j << "  \"stopped_by\": " << (d.stop_reason.empty() ? "null" : json_string(d.stop_reason)) << ",\n";
  j << "  \"subject\": " << json_string(layout.subject) << ",\n";
  j << "  \"session\": " << json_string(layout.session) << ",\n";
  j << "  \"note\": " << json_string(layout.note) << ",\n";
  j << "  \"recording\": " << json_string(d.recording_file) << ",\n";
  j << "  \"events\": " << json_string(d.events_file) << "\n";
  j << "}\n";
  replace_contents(path, j.str(), name);
}

}  // namespace calyra::recording
