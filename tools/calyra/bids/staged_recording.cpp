#include "bids/staged_recording.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "bids/dataset_files.h"
#include "recording/output_file.h"
#include "recording/recording_writer.h"

namespace calyra::bids {
namespace {

namespace fs = std::filesystem;

// ROOT for ROOT/sub-X[/ses-Y]/eeg/<file>.
std::string dataset_root(const std::string& staged_bdf, const entities& e) {
  fs::path root = fs::absolute(staged_bdf).parent_path().parent_path().parent_path();
  if (!e.session.empty()) root = root.parent_path();
  return root.string();
}

}  // namespace

std::string staged_note_path(const std::string& staged_bdf) { return staged_bdf + ".bids.json"; }

std::string begin_staged(const placement& p) {
  const double line = check_placement(p);
  prepare_dataset(p.root, p.program_version);
  const std::string staged = staging_path(p);
  std::error_code error;
  fs::create_directories(fs::path(staged).parent_path(), error);
  if (error) throw bids_error("cannot create " + fs::path(staged).parent_path().string() + ": " + error.message());
  nlohmann::json note;
  note["PowerLineFrequency"] = line;
  try {
    recording::replace_contents(staged_note_path(staged), note.dump() + "\n", staged_note_path(staged));
  } catch (const recording::recording_error& e) {
    throw bids_error(e.what());
  }
  return staged;
}

placed_recording finish_staged(const std::string& staged_bdf, const std::string& program_version) {
  const auto names = parse_recording_name(fs::path(staged_bdf).filename().string());
  if (!names) throw bids_error(staged_bdf + " is not a recording staged in a BIDS dataset");
  placement p{dataset_root(staged_bdf, *names), *names, std::nullopt, program_version};
  // Without its note (written at the start), the dataset must state it.
  std::ifstream in(staged_note_path(staged_bdf));
  if (in) {
    try {
      const auto note = nlohmann::json::parse(in);
      if (note.contains("PowerLineFrequency") && note["PowerLineFrequency"].is_number()) {
        p.line_frequency_hz = note["PowerLineFrequency"].get<double>();
      }
    } catch (const nlohmann::json::exception&) {
      // As if there were none.
    }
  }
  const placed_recording placed = place_recording(p, read_calyra_recording(staged_bdf), transfer::move);
  ::unlink(staged_note_path(staged_bdf).c_str());
  return placed;
}

void abandon_staged(const std::string& staged_bdf) { ::unlink(staged_note_path(staged_bdf).c_str()); }

std::optional<std::string> staged_recording_of(const std::string& part_path) {
  const fs::path part = fs::absolute(part_path);
  const std::string name = part.filename().string();
  if (name.empty() || name.front() != '.' || part.extension() != ".part") return std::nullopt;
  const auto names = parse_recording_name(name);
  if (!names || part.parent_path().filename() != "eeg") return std::nullopt;
  const std::string staged = (part.parent_path() / name.substr(0, name.size() - 5)).string();
  if (!fs::exists(fs::path(dataset_root(staged, *names)) / "dataset_description.json")) return std::nullopt;
  return staged;
}

}  // namespace calyra::bids
