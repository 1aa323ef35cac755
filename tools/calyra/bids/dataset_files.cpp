#include "bids/dataset_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "recording/output_file.h"
#include "recording/recording_writer.h"
#include "text/table_text.h"

namespace calyra::bids {
namespace {

namespace fs = std::filesystem;

using table = std::vector<std::vector<std::string>>;  // header row first

table read_table(const std::string& path) {
  table rows;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) rows.push_back(text::split_tabs(line));
  }
  return rows;
}

void write_table(const std::string& path, const table& rows) {
  std::string text;
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) text += (i ? "\t" : "") + row[i];
    text += '\n';
  }
  try {
    recording::replace_contents(path, text, path);
  } catch (const recording::recording_error& e) {
    throw bids_error(e.what());
  }
}

// Puts `values` (column name -> value) in the row whose `key` column equals
// the key's value, or in a new row; other columns get n/a.
void upsert_row(table& rows, const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [column, value] : values) {
    if (std::find(rows.front().begin(), rows.front().end(), column) == rows.front().end()) {
      rows.front().push_back(column);
      for (std::size_t i = 1; i < rows.size(); ++i) rows[i].resize(rows.front().size(), "n/a");
    }
  }
  // A copy: adding a row may move the table.
  const std::vector<std::string> header = rows.front();
  const auto column_of = [&](const std::string& name) {
    return static_cast<std::size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  };
  const std::size_t key = column_of(values.front().first);
  std::vector<std::string>* row = nullptr;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    if (key < rows[i].size() && rows[i][key] == values.front().second) row = &rows[i];
  }
  if (row == nullptr) row = &rows.emplace_back(header.size(), "n/a");
  row->resize(header.size(), "n/a");
  for (const auto& [column, value] : values) (*row)[column_of(column)] = value;
}

// Writes `text` to `path` only when no file has that name, never replacing
// one that appears meanwhile.
void create_once(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  try {
    recording::replace_contents(temporary, text, path);
  } catch (const recording::recording_error& e) {
    throw bids_error(e.what());
  }
  // link() fails with EEXIST rather than replace: the first writer's file stays.
  if (::link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw bids_error("cannot create " + path + ": " + std::strerror(error));
  }
  ::unlink(temporary.c_str());
}

}  // namespace

void prepare_dataset(const std::string& root, const std::string& program_version) {
  std::error_code error;
  fs::create_directories(root, error);
  if (error || !fs::is_directory(root)) {
    throw bids_error("cannot create the dataset folder " + root + ": " + error.message());
  }
  const fs::path base(root);
  if (!fs::exists(base / "dataset_description.json")) {
    std::string name = fs::absolute(base).lexically_normal().filename().string();
    if (name.empty()) name = fs::absolute(base).lexically_normal().parent_path().filename().string();
    nlohmann::ordered_json d;
    d["Name"] = name.empty() ? "EEG recordings" : name;
    d["BIDSVersion"] = "1.9.0";
    d["DatasetType"] = "raw";
    d["GeneratedBy"] = nlohmann::ordered_json::array({{{"Name", "calyra"}, {"Version", program_version}}});
    create_once((base / "dataset_description.json").string(),
                d.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  }
  for (const char* readme : {"README", "README.md", "README.rst", "README.txt"}) {
    if (fs::exists(base / readme)) return;
  }
  create_once((base / "README").string(),
              "EEG recordings made with calyra, organised as BIDS.\n"
              "\n"
              "Each recording is sub-<subject>[/ses-<session>]/eeg/<name>_eeg.bdf (BDF+, electrodes\n"
              "in microvolts), with <name>_eeg.json (device, sampling and line frequency, filters),\n"
              "<name>_channels.tsv (channel types, units, bad channels) and <name>_events.tsv\n"
              "(annotations, and the spans filled in for lost radio packets, marked BAD).\n"
              "\n"
              "Replace this text with a description of the dataset: what was recorded, from\n"
              "whom, with which task and set-up, and how to cite it; and add the authors to\n"
              "dataset_description.json.\n");
}

void add_participant(const std::string& root, const std::string& subject) {
  const std::string path = (fs::path(root) / "participants.tsv").string();
  table rows = read_table(path);
  if (rows.empty()) rows.push_back({"participant_id"});
  const std::string id = "sub-" + subject;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    if (!rows[i].empty() && rows[i][0] == id) return;
  }
  upsert_row(rows, {{"participant_id", id}});
  write_table(path, rows);
}

void add_scan(const std::string& root, const entities& e, const std::string& relative_file,
              std::chrono::system_clock::time_point acquired) {
  std::string stem = "sub-" + e.subject + (e.session.empty() ? "" : "_ses-" + e.session);
  const std::string path = (fs::path(root) / session_folder(e) / (stem + "_scans.tsv")).string();
  table rows = read_table(path);
  if (rows.empty()) rows.push_back({"filename", "acq_time"});
  upsert_row(rows, {{"filename", relative_file}, {"acq_time", text::utc_iso_time(acquired, 6)}});
  write_table(path, rows);
}

std::optional<double> stated_line_frequency(const std::string& root) {
  std::set<double> stated;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    // What the validator ignores is no statement of the dataset.
    if (name.front() == '.' || (it.depth() == 0 && name.rfind("sub-", 0) != 0)) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file() || name.size() < 9 || name.compare(name.size() - 9, 9, "_eeg.json") != 0) continue;
    try {
      std::ifstream in(it->path());
      const auto j = nlohmann::json::parse(in);
      if (j.contains("PowerLineFrequency") && j["PowerLineFrequency"].is_number()) {
        stated.insert(j["PowerLineFrequency"].get<double>());
      }
    } catch (const nlohmann::json::exception&) {
      // An unreadable sidecar states nothing.
    }
  }
  if (stated.empty()) return std::nullopt;
  if (stated.size() > 1) {
    throw bids_error("the recordings in " + root +
                     " state different power line frequencies: give --line-freq 50 or --line-freq 60");
  }
  return *stated.begin();
}

}  // namespace calyra::bids
