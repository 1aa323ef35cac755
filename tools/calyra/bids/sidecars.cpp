#include "bids/sidecars.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "recording/bdf_writer.h"

namespace calyra::bids {
namespace {

using recording::signal_kind;
using ordered = nlohmann::ordered_json;

std::string dump(const ordered& j) {
  // Texts reach here as valid UTF-8; a stray byte still must not end the run.
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string seconds(std::int64_t samples, unsigned rate_hz) {
  char text[48];
  std::snprintf(text, sizeof text, "%.6f", static_cast<double>(samples) / rate_hz);
  return text;
}

// "1:40" as numbers; false when the text is not a band.
bool parse_band(const std::string& band, double& low, double& high) {
  return std::sscanf(band.c_str(), "%lf:%lf", &low, &high) == 2;
}

ordered software_filters(const calyra_recording& r) {
  double low = 0.0, high = 0.0;
  const bool band = parse_band(r.bandpass, low, high);
  if (!r.filtered_output || (!band && !(r.notch_hz > 0.0))) return "n/a";
  ordered filters = ordered::object();
  const std::string design = "causal Butterworth, order 4, applied while recording";
  if (band) {
    filters["Bandpass"] = {{"HighPass_Hz", low}, {"LowPass_Hz", high}, {"Design", design}};
  }
  if (r.notch_hz > 0.0) {
    filters["Notch"] = {{"Center_Hz", r.notch_hz}, {"Width_Hz", 4.0}, {"Design", design}};
  }
  return filters;
}

}  // namespace

std::string channel_type(signal_kind kind) {
  switch (kind) {
    case signal_kind::electrode: return "EEG";
    case signal_kind::accelerometer: return "ACCEL";
    case signal_kind::contact: return "MISC";
  }
  return "MISC";
}

std::string channel_unit(const std::string& unit) {
  if (unit == "m/s2") return "m/s^2";
  // Impedance-mode counts and the contact flags have no unit.
  if (unit.empty() || unit == "counts") return "n/a";
  return unit;
}

std::string eeg_json(const calyra_recording& r, const recording_context& c) {
  std::size_t eeg = 0, misc = 0;
  for (const auto& s : r.signals) (s.kind == signal_kind::electrode ? eeg : misc) += 1;
  ordered j;
  j["TaskName"] = c.task;
  j["Manufacturer"] = "Calyra";
  if (!r.model.empty()) j["ManufacturersModelName"] = r.model;
  if (!r.serial_number.empty()) j["DeviceSerialNumber"] = r.serial_number;
  if (!r.firmware_version.empty()) j["SoftwareVersions"] = "firmware " + r.firmware_version;
  j["SamplingFrequency"] = r.rate_hz;
  j["PowerLineFrequency"] = c.line_frequency_hz;
  j["EEGReference"] = c.reference;
  j["SoftwareFilters"] = software_filters(r);
  j["HardwareFilters"] = "n/a";
  j["EEGChannelCount"] = eeg;
  // The EEG sidecar has no count of its own for accelerometer axes or
  // contact flags: both are counted here (their types are in _channels.tsv).
  j["MiscChannelCount"] = misc;
  j["RecordingDuration"] = static_cast<double>(r.samples) / r.rate_hz;
  j["RecordingType"] = "continuous";
  return dump(j);
}

std::string channels_tsv(const calyra_recording& r) {
  std::string table = "name\ttype\tunits\tdescription\tsampling_frequency\tstatus\tstatus_description\n";
  std::size_t electrode = 0;
  for (const auto& s : r.signals) {
    std::string description, status = "good", why = "n/a";
    switch (s.kind) {
      case signal_kind::electrode: {
        description = r.impedance ? "electrode, impedance measurement in counts" : "electrode";
        if (r.gain > 0) description += ", amplifier gain " + std::to_string(r.gain);
        const channel_verdict& v = r.electrode_verdicts.at(electrode++);
        if (v.bad) {
          status = "bad";
          why = "signal quality: " + v.reason;
        }
        break;
      }
      case signal_kind::contact: description = "electrode contact flag (1: in contact)"; break;
      case signal_kind::accelerometer: description = "accelerometer axis"; break;
    }
    table += s.label + '\t' + channel_type(s.kind) + '\t' + channel_unit(s.unit) + '\t' + description + '\t' +
             std::to_string(r.rate_hz) + '\t' + status + '\t' + why + '\n';
  }
  return table;
}

std::string events_tsv(const calyra_recording& r) {
  std::string table = "onset\tduration\tsample\ttrial_type\n";
  for (const auto& e : r.events) {
    table += seconds(e.position, r.rate_hz) + '\t' + (e.duration < 0 ? "n/a" : seconds(e.duration, r.rate_hz)) +
             '\t' + std::to_string(e.position) + '\t' + (e.text.empty() ? "n/a" : e.text) + '\n';
  }
  return table;
}

std::string events_json() {
  ordered j;
  j["onset"] = {{"Description", "When the event begins, from the first sample of the recording"}, {"Units", "s"}};
  j["duration"] = {{"Description", "How long the event lasts; n/a for an annotation of one moment"}, {"Units", "s"}};
  j["sample"] = {{"Description", "The sample the event begins at, counted from 0"}};
  j["trial_type"] = {
      {"Description",
       std::string("The annotation's text as typed while recording; \"") + recording::bdf_writer::gap_text +
           "\" spans samples filled in for lost radio packets (zeros) and \"" + recording::bdf_writer::end_text +
           "\" the samples repeated to fill the file's last data record; analysis tools skip spans whose text "
           "starts with BAD"}};
  return dump(j);
}

}  // namespace calyra::bids
