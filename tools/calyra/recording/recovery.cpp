#include "recording/recovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "recording/bdf_file_check.h"
#include "recording/bdf_writer.h"
#include "recording/csv_writer.h"
#include "recording/events.h"
#include "recording/json_sidecar.h"
#include "recording/output_file.h"
#include "recording/recording_writer.h"
#include "text/table_text.h"

namespace calyra::recording {
namespace {

constexpr const char* part_suffix = ".part";
constexpr const char* stop_text = "the run ended without finishing; recovered by calyra recover";

bool exists(const std::string& path) {
  struct stat info{};
  return ::stat(path.c_str(), &info) == 0;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Renames without replacing an existing file.
void give_name(const std::string& from, const std::string& to) {
  int result = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (result != 0 && errno == EINVAL) {
    result = ::link(from.c_str(), to.c_str());
    if (result == 0) ::unlink(from.c_str());
  }
  if (result != 0) {
    throw recording_error("cannot rename " + from + " to " + to + ": " + std::strerror(errno));
  }
}

struct cut_result {
  std::uint64_t samples = 0;
  double rate_hz = 0.0;
  std::int64_t cut_bytes = 0;
};

// Keeps the complete records whose annotation signal starts with the
// record's time, as every record written whole does.
cut_result cut_bdf(const std::string& path) {
  const auto state = inspect_bdf_file(path);
  if (!state) throw recording_error(path + " is not a BDF recording, or its header is incomplete");
  std::int64_t keep = state->complete_records;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd >= 0 && keep > 0) {
    char first = 0;
    const std::int64_t at = state->header_bytes + keep * state->record_bytes - state->last_signal_bytes;
    if (::pread(fd, &first, 1, at) == 1 && first == '+') break;
    --keep;
  }
  if (fd >= 0) ::close(fd);
  if (keep == 0) throw recording_error(path + " holds no complete data record: nothing to recover");
  if (!truncate_bdf_file(path, *state, keep)) throw recording_error("cannot repair " + path);
  cut_result r;
  r.samples = static_cast<std::uint64_t>(keep * state->first_signal_samples);
  r.rate_hz = state->record_seconds > 0.0 ? state->first_signal_samples / state->record_seconds : 0.0;
  r.cut_bytes = state->file_bytes - (state->header_bytes + keep * state->record_bytes);
  return r;
}

cut_result cut_csv(const std::string& path, double rate_hz) {
  struct stat before{};
  ::stat(path.c_str(), &before);
  cut_csv_to_last_line(path);
  const std::string text = read_file(path);
  const auto lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
  if (lines == 0) throw recording_error(path + " holds not even its header row: nothing to recover");
  cut_result r;
  r.samples = lines - 1;
  r.rate_hz = rate_hz;
  r.cut_bytes = before.st_size - static_cast<std::int64_t>(text.size());
  return r;
}

struct kept_events {
  std::string table;
  std::size_t annotations = 0;
  std::uint64_t filled_samples = 0;
};

// The events written line by line while recording, within the recording
// that was kept, in onset order.
kept_events recover_events(const std::string& part, std::uint64_t samples, double rate_hz) {
  std::istringstream in(exists(part) ? read_file(part) : std::string());
  std::vector<std::pair<std::int64_t, std::string>> lines;  // sample, line
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line) && !in.eof()) {
    const std::vector<std::string> cells = text::split_tabs(line);
    if (cells.size() < 4) continue;
    const long long sample = std::strtoll(cells[2].c_str(), nullptr, 10);
    if (sample < 0 || static_cast<std::uint64_t>(sample) >= samples) continue;
    lines.emplace_back(sample, line);
  }
  std::stable_sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  kept_events kept;
  kept.table = events_header;
  for (const auto& [sample, text] : lines) {
    kept.table += text + '\n';
    const std::vector<std::string> cells = text::split_tabs(text);
    if (cells[3].rfind(bdf_writer::gap_text, 0) == 0 && rate_hz > 0.0) {
      kept.filled_samples += static_cast<std::uint64_t>(std::llround(std::strtod(cells[1].c_str(), nullptr) * rate_hz));
    } else {
      ++kept.annotations;
    }
  }
  return kept;
}

// The description written at the start, with what the kept file holds.
std::string recover_description(const std::string& part, const recovered_recording& r,
                                const kept_events& events, double rate_hz) {
  const std::string written = exists(part) ? read_file(part) : std::string();
  char duration[64];
  std::snprintf(duration, sizeof duration, "%g", r.seconds);
  const std::vector<std::pair<std::string, std::string>> values = {
      {"state", json_string("recovered")},
      {"samples", std::to_string(r.samples)},
      {"duration_seconds", duration},
      {"missed_packets", "null"},
      {"filled_samples", std::to_string(events.filled_samples)},
      {"annotations", std::to_string(events.annotations)},
      {"stopped_by", json_string(stop_text)}};
  if (written.find("\"program\"") == std::string::npos) {
    std::string j = "{\n  \"sample_rate_hz\": " + (rate_hz > 0.0 ? std::to_string(std::lround(rate_hz)) : "null");
    for (const auto& [key, value] : values) j += ",\n  \"" + key + "\": " + value;
    return j + ",\n  \"recording\": " + json_string(r.recording) + ",\n  \"events\": " + json_string(r.events) +
           "\n}\n";
  }
  // One field per line, as the sidecar writer lays them out.
  std::istringstream in(written);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    for (const auto& [key, value] : values) {
      const std::string start = "  \"" + key + "\": ";
      if (line.rfind(start, 0) == 0) line = start + value + (line.back() == ',' ? "," : "");
    }
    out += line + '\n';
  }
  return out;
}

}  // namespace

recovered_recording recover_recording(const std::string& part_path) {
  const std::size_t suffix = std::strlen(part_suffix);
  if (part_path.size() <= suffix || part_path.compare(part_path.size() - suffix, suffix, part_suffix) != 0) {
    throw recording_error(part_path + " is not a FILE.part left by calyra stream");
  }
  recovered_recording r;
  r.recording = part_path.substr(0, part_path.size() - suffix);
  r.events = events_path_for(r.recording);
  r.description = json_path_for(r.recording);
  const std::string format = recording_format_of(r.recording);
  if (format.empty()) throw recording_error(part_path + " is neither a BDF nor a CSV recording (by its name)");
  for (const std::string& name : {r.recording, r.events, r.description}) {
    if (exists(name)) throw recording_error(name + " exists; recover never replaces a file: move it away first");
  }
  // A run in progress holds the lock: its file is not ours to cut.
  const int lock = ::open(part_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (lock < 0) throw recording_error("cannot open " + part_path + ": " + std::strerror(errno));
  if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    ::close(lock);
    throw recording_error("a calyra is still recording to " + r.recording);
  }
  struct unlock {
    int fd;
    ~unlock() { ::close(fd); }
  } release{lock};

  const std::string description_part = r.description + part_suffix;
  const std::string described = exists(description_part) ? read_file(description_part) : std::string();
  const auto rate_at = described.find("\"sample_rate_hz\": ");
  const double described_rate = rate_at == std::string::npos ? 0.0 : std::strtod(described.c_str() + rate_at + 18, nullptr);

  const cut_result cut = format == "bdf" ? cut_bdf(part_path) : cut_csv(part_path, described_rate);
  r.samples = cut.samples;
  r.cut_bytes = cut.cut_bytes;
  r.seconds = cut.rate_hz > 0.0 ? static_cast<double>(cut.samples) / cut.rate_hz : 0.0;
  const kept_events events = recover_events(r.events + part_suffix, r.samples, cut.rate_hz);
  r.annotations = events.annotations;

  // Sidecars first, written under their temporary names: the recording's
  // own name appears last.
  replace_contents(r.events + part_suffix, events.table, r.events + part_suffix);
  replace_contents(description_part, recover_description(description_part, r, events, cut.rate_hz),
                   description_part);
  give_name(r.events + part_suffix, r.events);
  give_name(description_part, r.description);
  give_name(part_path, r.recording);
  return r;
}

}  // namespace calyra::recording
