#include "bids/dataset_writer.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "bids/dataset_files.h"
#include "bids/sidecars.h"
#include "recording/output_file.h"
#include "recording/recording_writer.h"

namespace calyra::bids {
namespace {

namespace fs = std::filesystem;

bool same_except_run(const entities& a, const entities& b) {
  return a.subject == b.subject && a.session == b.session && a.task == b.task && a.acquisition == b.acquisition;
}

// A run is an index: run-1 and run-01 name the same run.
bool same_run(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return a == b;
  return std::strtol(a.c_str(), nullptr, 10) == std::strtol(b.c_str(), nullptr, 10);
}

// A recording with these entities in the folder, under any stage of its
// life: placed, staged, or left unfinished by a run. `own` are the files of
// the recording being placed.
void refuse_taken(const placement& p, const std::vector<std::string>& own = {}) {
  const fs::path folder = fs::path(p.root) / data_folder(p.names);
  const std::string stem = file_stem(p.names);
  std::error_code error;
  std::string taken;
  long highest_run = 0;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const auto other = parse_recording_name(name);
    if (other && same_except_run(*other, p.names)) {
      highest_run = std::max(highest_run, other->run.empty() ? 1L : std::strtol(other->run.c_str(), nullptr, 10));
    }
    const bool hidden = name.front() == '.';
    const bool same_index = other && same_except_run(*other, p.names) && same_run(other->run, p.names.run);
    if (name.compare(hidden ? 1 : 0, stem.size() + 1, stem + "_") != 0 && !same_index) continue;
    // The recording being placed is not in its own way; nor are a stream's
    // note and a half-made copy, which hold no recording.
    if (std::any_of(own.begin(), own.end(), [&](const std::string& f) { return fs::path(f).filename() == name; })) {
      continue;
    }
    if (hidden && (name.ends_with(".bids.json") || name.ends_with(".copy"))) continue;
    // The recording itself names the refusal best; a sidecar will do.
    if (taken.empty() || name.find("_eeg.bdf") != std::string::npos) taken = it->path().string();
  }
  if (taken.empty()) return;
  std::string message = taken + " exists: the dataset already has a recording of " + stem +
                        "; give another --run (for example --run " + std::to_string(highest_run + 1) + ")";
  if (taken.ends_with(".part")) {
    message += ", or finish the interrupted one with calyra recover " + taken;
  } else if (fs::path(taken).filename().string().front() == '.') {
    message += ", or place the finished one with calyra bids";
  }
  throw bids_error(message);
}

void write(const std::string& path, const std::string& text) {
  try {
    recording::replace_contents(path, text, path);
  } catch (const recording::recording_error& e) {
    throw bids_error(e.what());
  }
}

// Gives `from` the name `to` without replacing a file there.
void rename_new(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno == EINVAL && ::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return;
  }
  throw bids_error("cannot rename " + from + " to " + to + ": " + std::strerror(errno));
}

// Copies under a hidden name beside the target, synced, then renamed: the
// dataset never shows a partial copy.
void copy_new(const std::string& from, const std::string& to) {
  const fs::path target(to);
  const std::string hidden = (target.parent_path() / ("." + target.filename().string() + ".copy")).string();
  std::error_code error;
  fs::copy_file(from, hidden, fs::copy_options::overwrite_existing, error);
  if (error) throw bids_error("cannot copy " + from + " into the dataset: " + error.message());
  const int fd = ::open(hidden.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  try {
    if (!synced) throw bids_error("cannot write " + to + ": " + std::strerror(errno));
    rename_new(hidden, to);
  } catch (...) {
    ::unlink(hidden.c_str());
    throw;
  }
}

}  // namespace

namespace {

double check_line_and_names(const placement& p) {
  check_entities(p.names);
  double line = 0.0;
  if (p.line_frequency_hz) {
    line = *p.line_frequency_hz;
    if (line != 50.0 && line != 60.0) throw bids_error("--line-freq is the power line frequency: 50 or 60 (Hz)");
  } else if (const auto stated = stated_line_frequency(p.root)) {
    line = *stated;
  } else {
    throw bids_error("give the power line frequency with --line-freq 50 or --line-freq 60: BIDS requires it, the "
                     "headset cannot tell it, and no recording in " + p.root + " states it yet");
  }
  return line;
}

}  // namespace

double check_placement(const placement& p, const std::string& source_bdf) {
  const double line = check_line_and_names(p);
  if (source_bdf.empty()) {
    refuse_taken(p);
  } else {
    refuse_taken(p, {source_bdf, recording::json_path_for(source_bdf), recording::events_path_for(source_bdf)});
  }
  return line;
}

std::string staging_path(const placement& p) {
  return (fs::path(p.root) / data_folder(p.names) / ("." + file_stem(p.names) + "_eeg.bdf")).string();
}

placed_recording place_recording(const placement& p, const calyra_recording& source, transfer how) {
  placed_recording placed;
  placed.line_frequency_hz = check_line_and_names(p);
  refuse_taken(p, {source.bdf_path, source.description_path, source.events_path});
  const fs::path folder = fs::path(p.root) / data_folder(p.names);
  placed.sidecar_stem = (folder / file_stem(p.names)).string();
  placed.recording = placed.sidecar_stem + "_eeg.bdf";

  prepare_dataset(p.root, p.program_version);
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw bids_error("cannot create " + folder.string() + ": " + error.message());
  add_participant(p.root, p.names.subject);

  const recording_context context{p.names.task, placed.line_frequency_hz};
  const std::vector<std::pair<std::string, std::string>> sidecars = {
      {placed.sidecar_stem + "_eeg.json", eeg_json(source, context)},
      {placed.sidecar_stem + "_channels.tsv", channels_tsv(source)},
      {placed.sidecar_stem + "_events.tsv", events_tsv(source)},
      {placed.sidecar_stem + "_events.json", events_json()},
  };
  std::vector<std::string> written;
  try {
    for (const auto& [path, text] : sidecars) {
      write(path, text);
      written.push_back(path);
    }
    if (how == transfer::move) {
      rename_new(source.bdf_path, placed.recording);
    } else {
      copy_new(source.bdf_path, placed.recording);
    }
  } catch (...) {
    for (const std::string& path : written) ::unlink(path.c_str());
    throw;
  }
  add_scan(p.root, p.names, "eeg/" + fs::path(placed.recording).filename().string(), source.start_time);
  if (how == transfer::move) {
    // Everything they said is in the BIDS sidecars now.
    ::unlink(source.description_path.c_str());
    ::unlink(source.events_path.c_str());
  }
  return placed;
}

}  // namespace calyra::bids
