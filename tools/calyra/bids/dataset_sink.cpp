#include "bids/dataset_sink.h"

#include <unistd.h>

#include <filesystem>

#include "bids/entities.h"
#include "bids/staged_recording.h"
#include "recording/output_file.h"

namespace calyra::bids {

recording::recording_names dataset_naming::names_for(const std::string&) const {
  return {staged_, recording::events_path_for(staged_), recording::json_path_for(staged_)};
}

dataset_sink::dataset_sink(std::unique_ptr<session::sink> recording, std::string staged)
    : recording_(std::move(recording)), staged_(std::move(staged)) {}

template <class Call>
void dataset_sink::forward(Call call) {
  try {
    call();
  } catch (...) {
    recording_failed_ = true;
    throw;
  }
}

void dataset_sink::rows(const recording::sample_block& rows) {
  forward([&] { recording_->rows(rows); });
}

void dataset_sink::event(const session::placed_event& event) {
  forward([&] { recording_->event(event); });
}

void dataset_sink::tick() {
  forward([&] { recording_->tick(); });
}

void dataset_sink::finish(const session::run_end& end) {
  forward([&] { recording_->finish(end); });
  if (!std::filesystem::exists(staged_)) {
    // No sample arrived: there is no recording to place, nor a note to keep.
    ::unlink(staged_note_path(staged_).c_str());
    return;
  }
  try {
    const placed_recording placed = finish_staged(staged_, CALYRA_VERSION);
    placed_ = {placed.recording, placed.sidecar_stem + "_eeg.json", placed.sidecar_stem + "_channels.tsv",
               placed.sidecar_stem + "_events.tsv"};
  } catch (const bids_error& e) {
    throw session::sink_failure(std::string(e.what()) + "; the recording stays as " + staged_ +
                                ": place it with calyra bids");
  }
}

std::string dataset_sink::failure_reason() const {
  return recording_failed_ ? recording_->failure_reason() : "the recording could not be placed in the dataset";
}

std::vector<std::string> dataset_sink::files() const {
  return placed_.empty() ? recording_->files() : placed_;
}

}  // namespace calyra::bids
