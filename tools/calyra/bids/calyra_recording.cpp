#include "bids/calyra_recording.h"

#include <edflib.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "bids/entities.h"
#include "quality/quality_monitor.h"
#include "recording/bdf_writer.h"
#include "recording/output_file.h"

namespace calyra::bids {
namespace {

using recording::signal_kind;

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw bids_error("cannot read " + path + " (a calyra recording has it next to its BDF file)");
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string trimmed(const char* text) {
  std::string s = text;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

signal_kind kind_from(const std::string& type, const std::string& label) {
  if (type == "EEG") return signal_kind::electrode;
  if (type == "contact") return signal_kind::contact;
  if (type == "accelerometer") return signal_kind::accelerometer;
  // Without a description, the BDF label's prefix says it.
  if (label.rfind("EEG ", 0) == 0) return signal_kind::electrode;
  if (label.find("Accel") != std::string::npos) return signal_kind::accelerometer;
  return signal_kind::contact;
}

// "2026-12-09T05:16:43.196Z"
std::optional<std::chrono::system_clock::time_point> parse_utc(const std::string& text) {
  std::tm t{};
  int ms = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                  &t.tm_min, &t.tm_sec, &ms) != 7) {
    return std::nullopt;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return std::chrono::system_clock::from_time_t(timegm(&t)) + std::chrono::milliseconds(ms);
}

struct edf_file {
  int handle = -1;
  std::unique_ptr<edf_hdr_struct> header = std::make_unique<edf_hdr_struct>();
  ~edf_file() {
    if (handle >= 0) edfclose_file(handle);
  }
};

void read_events(calyra_recording& r) {
  std::istringstream in(read_text(r.events_path));
  std::string line;
  std::getline(in, line);
  // Tables written before the source column have four columns.
  const bool has_source = line + '\n' == recording::events_header;
  if (!has_source && line != "onset\tduration\tsample\tdescription") {
    throw bids_error(r.events_path + " is not a calyra events table");
  }
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    // onset, duration, sample, then the text (and who sent it).
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
      const std::size_t tab = line.find('\t', start);
      if (tab == std::string::npos) throw bids_error(r.events_path + ": a line has fewer than four columns");
      cells.push_back(line.substr(start, tab - start));
      start = tab + 1;
    }
    recording::recording_event e;
    e.position = std::strtoll(cells[2].c_str(), nullptr, 10);
    e.duration = cells[1] == "n/a" ? -1 : std::llround(std::strtod(cells[1].c_str(), nullptr) * r.rate_hz);
    // The text holds no tab: with a source column, it ends at the next one.
    e.text = has_source ? line.substr(start, line.find('\t', start) - start) : line.substr(start);
    r.events.push_back(std::move(e));
  }
  std::stable_sort(r.events.begin(), r.events.end(),
                   [](const auto& a, const auto& b) { return a.position < b.position; });
}

void read_description(calyra_recording& r, std::vector<std::string>& types) {
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(read_text(r.description_path));
  } catch (const nlohmann::json::exception& e) {
    throw bids_error(r.description_path + " is not valid JSON: " + e.what());
  }
  const auto text = [](const nlohmann::json& o, const char* key) {
    return o.is_object() && o.contains(key) && o[key].is_string() ? o[key].get<std::string>() : std::string();
  };
  const auto number = [](const nlohmann::json& o, const char* key) {
    return o.is_object() && o.contains(key) && o[key].is_number() ? o[key].get<double>() : 0.0;
  };
  r.state = text(j, "state");
  if (r.state == "recording") {
    throw bids_error(r.bdf_path + " is still being recorded, or its run did not finish: run calyra recover on its .part first");
  }
  const nlohmann::json device = j.value("device", nlohmann::json::object());
  r.device_name = text(device, "name");
  r.model = text(device, "model");
  r.serial_number = text(device, "serial_number");
  r.firmware_version = text(device, "firmware");
  r.gain = static_cast<unsigned>(number(j, "gain"));
  r.impedance = j.value("impedance_mode", false);
  r.filled_samples = static_cast<std::uint64_t>(number(j, "filled_samples"));
  const nlohmann::json filters = j.value("filters", nlohmann::json::object());
  r.bandpass = text(filters, "bandpass_hz");
  r.notch_hz = number(filters, "notch_hz");
  r.filtered_output = filters.value("applied_to_recording", false);
  if (const auto start = parse_utc(text(j, "start_time"))) r.start_time = *start;
  if (j.contains("samples") && j["samples"].is_number_unsigned()) r.samples = j["samples"].get<std::uint64_t>();
  if (j.contains("signals") && j["signals"].is_array()) {
    for (const auto& s : j["signals"]) types.push_back(text(s, "type"));
  }
}

// Grades each electrode over two-second windows that hold no filler for
// lost data, with the same grading as the live display.
void grade_electrodes(calyra_recording& r, const edf_file& f) {
  std::vector<int> electrodes;
  for (std::size_t i = 0; i < r.signals.size(); ++i) {
    if (r.signals[i].kind == signal_kind::electrode) electrodes.push_back(static_cast<int>(i));
  }
  r.electrode_verdicts.assign(electrodes.size(), {});
  // Counts are no signal to grade.
  if (r.impedance || electrodes.empty() || r.rate_hz == 0) return;
  const std::int64_t window = 2 * static_cast<std::int64_t>(r.rate_hz);
  std::vector<std::pair<std::int64_t, std::int64_t>> gaps;  // [from, to) of filler
  for (const auto& e : r.events) {
    if (e.duration > 0 && e.text.rfind(recording::bdf_writer::gap_text, 0) == 0) {
      gaps.emplace_back(e.position, e.position + e.duration);
    }
  }
  std::vector<int> bad(electrodes.size(), 0);
  std::vector<std::map<std::string, int>> reasons(electrodes.size());
  int graded = 0;
  std::vector<double> data(electrodes.size() * static_cast<std::size_t>(window));
  for (std::int64_t from = 0; from + window <= static_cast<std::int64_t>(r.samples); from += window) {
    const bool filled = std::any_of(gaps.begin(), gaps.end(),
                                    [&](const auto& g) { return g.first < from + window && g.second > from; });
    if (filled) continue;
    for (std::size_t e = 0; e < electrodes.size(); ++e) {
      double* column = data.data() + e * static_cast<std::size_t>(window);
      if (edfseek(f.handle, electrodes[e], from, EDFSEEK_SET) != from ||
          edfread_physical_samples(f.handle, electrodes[e], static_cast<int>(window), column) != window) {
        throw bids_error("cannot read the samples of " + r.bdf_path);
      }
    }
    const auto grades = quality::grade_window(data.data(), electrodes.size(), static_cast<std::size_t>(window),
                                              static_cast<double>(r.rate_hz));
    ++graded;
    for (std::size_t e = 0; e < electrodes.size(); ++e) {
      if (grades[e].grade != 0) continue;
      ++bad[e];
      ++reasons[e][grades[e].reason];
    }
  }
  for (std::size_t e = 0; e < electrodes.size(); ++e) {
    if (graded == 0 || 2 * bad[e] <= graded) continue;
    r.electrode_verdicts[e].bad = true;
    const auto commonest = std::max_element(reasons[e].begin(), reasons[e].end(),
                                            [](const auto& a, const auto& b) { return a.second < b.second; });
    r.electrode_verdicts[e].reason = commonest->first + " in " + std::to_string(bad[e]) + " of " +
                                     std::to_string(graded) + " two-second windows";
  }
}

}  // namespace

calyra_recording read_calyra_recording(const std::string& bdf_path) {
  calyra_recording r;
  r.bdf_path = bdf_path;
  r.description_path = recording::json_path_for(bdf_path);
  r.events_path = recording::events_path_for(bdf_path);
  if (recording::recording_format_of(bdf_path) != "bdf") {
    throw bids_error(bdf_path + " is not a BDF recording: BIDS takes calyra's .bdf recordings");
  }
  std::vector<std::string> types;
  read_description(r, types);

  edf_file f;
  f.handle = edfopen_file_readonly(bdf_path.c_str(), f.header.get(), EDFLIB_READ_ALL_ANNOTATIONS);
  if (f.handle < 0 || f.header->filetype != EDFLIB_FILETYPE_BDFPLUS || f.header->edfsignals < 1) {
    f.handle = -1;
    throw bids_error("cannot read " + bdf_path + " as a BDF+ recording");
  }
  const edf_hdr_struct& h = *f.header;
  for (int i = 0; i < h.edfsignals; ++i) {
    recorded_signal s;
    s.label = trimmed(h.signalparam[i].label);
    s.unit = trimmed(h.signalparam[i].physdimension);
    s.kind = kind_from(static_cast<std::size_t>(i) < types.size() ? types[static_cast<std::size_t>(i)] : "", s.label);
    r.signals.push_back(std::move(s));
  }
  r.rate_hz = static_cast<unsigned>(std::llround(static_cast<double>(h.signalparam[0].smp_in_datarecord) *
                                                 EDFLIB_TIME_DIMENSION / static_cast<double>(h.datarecord_duration)));
  const auto in_file = static_cast<std::uint64_t>(h.signalparam[0].smp_in_file);
  // The description counts what was recorded; the file may repeat samples
  // to fill its last record.
  if (r.samples == 0 || r.samples > in_file) r.samples = in_file;
  if (r.start_time == std::chrono::system_clock::time_point{}) {
    std::tm t{};
    t.tm_year = h.startdate_year - 1900;
    t.tm_mon = h.startdate_month - 1;
    t.tm_mday = h.startdate_day;
    t.tm_hour = h.starttime_hour;
    t.tm_min = h.starttime_minute;
    t.tm_sec = h.starttime_second;
    r.start_time = std::chrono::system_clock::from_time_t(timegm(&t)) +
                   std::chrono::microseconds(h.starttime_subsecond / 10);
  }
  read_events(r);
  grade_electrodes(r, f);
  return r;
}

}  // namespace calyra::bids
