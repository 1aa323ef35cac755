// The recording of `calyra stream --bids`: the recording sink writes a
// calyra recording under the staging names a dataset_naming gives, and when
// it has finished, the recording is placed under its BIDS name
// (staged_recording.h). The summary lists the dataset's files.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "recording/recording_naming.h"
#include "session/sink.h"

namespace calyra::bids {

// The staging names of one recording in a dataset (one headset).
class dataset_naming final : public recording::recording_naming {
 public:
  explicit dataset_naming(std::string staged) : staged_(std::move(staged)) {}
  recording::recording_names names_for(const std::string& device) const override;

 private:
  std::string staged_;
};

class dataset_sink final : public session::sink {
 public:
  // `recording` writes to `staged` (a staging path, begin_staged).
  dataset_sink(std::unique_ptr<session::sink> recording, std::string staged);

  void rows(const recording::sample_block& rows) override;
  void event(const session::placed_event& event) override;
  void tick() override;
  // Finishes the recording, then places it. A recording that failed stays
  // under its staging name (recover or `calyra bids` place it later).
  void finish(const session::run_end& end) override;

  std::string failure_reason() const override;
  std::vector<std::string> files() const override;
  std::vector<std::string> remarks() const override { return recording_->remarks(); }

 private:
  // Calls the recording, noting when it fails, so that the failure is
  // reported with its own reason.
  template <class Call>
  void forward(Call call);

  std::unique_ptr<session::sink> recording_;
  std::string staged_;
  bool recording_failed_ = false;
  std::vector<std::string> placed_;
};

}  // namespace calyra::bids
