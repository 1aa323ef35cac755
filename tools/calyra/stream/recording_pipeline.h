// What happens to the samples of a stream on the main thread: cut at the
// requested length, counted (samples, gaps), graded, filtered for writing if
// asked, and written.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quality/quality_monitor.h"
#include "stream/pipeline_observer.h"
#include "quality/signal_filters.h"
#include "recording/recording_writer.h"
#include "recording/sample_block.h"

namespace calyra::stream {

struct pipeline_settings {
  unsigned rate_hz = 250;
  std::uint64_t target_samples = 0;  // 0: no limit
  quality::filter_settings filters;  // applied to what is graded
  bool filter_output = false;        // also to what is written
};

class recording_pipeline {
 public:
  // `writer` may be null (stream without --out).
  recording_pipeline(const std::vector<recording::signal_description>& signals,
                     std::vector<std::size_t> electrode_signals, const pipeline_settings& settings,
                     std::unique_ptr<recording::recording_writer> writer);

  // Takes the rows of a chunk; rows beyond the target are dropped.
  void accept(const recording::sample_block& block);
  void annotate(std::int64_t sample, const std::string& text);
  // Flushes the filter and finishes the file. Throws recording_error.
  void finish();

  bool target_reached() const {
    return settings_.target_samples > 0 && samples_ >= settings_.target_samples;
  }
  std::uint64_t samples() const { return samples_; }
  double seconds() const { return static_cast<double>(samples_) / settings_.rate_hz; }
  // Runs of filler samples: each is one loss event, however many packets it spans.
  std::uint64_t missed_packets() const { return gaps_; }
  std::uint64_t lost_samples() const { return lost_; }
  std::size_t annotations() const { return annotations_; }
  // Sample number of the next sample expected (0 before the first).
  std::uint64_t next_sample_number() const { return next_sample_number_; }
  quality::quality_monitor& quality() { return quality_; }
  // Also hands accepted rows and annotations to `observer` (null: none).
  void set_observer(pipeline_observer* observer) { observer_ = observer; }

 private:
  pipeline_settings settings_;
  std::size_t signal_count_;
  std::unique_ptr<recording::recording_writer> writer_;
  std::optional<quality::output_filter> output_filter_;
  quality::quality_monitor quality_;
  std::uint64_t samples_ = 0;
  std::uint64_t gaps_ = 0;
  std::uint64_t lost_ = 0;
  bool in_gap_ = false;
  std::size_t annotations_ = 0;
  std::uint64_t next_sample_number_ = 0;
  pipeline_observer* observer_ = nullptr;
};

}  // namespace calyra::stream
