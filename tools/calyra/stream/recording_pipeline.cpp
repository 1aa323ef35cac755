#include "stream/recording_pipeline.h"

#include <algorithm>

namespace calyra::stream {

recording_pipeline::recording_pipeline(const std::vector<recording::signal_description>& signals,
                                       std::vector<std::size_t> electrode_signals,
                                       const pipeline_settings& settings,
                                       std::unique_ptr<recording::recording_writer> writer)
    : settings_(settings),
      signal_count_(signals.size()),
      writer_(std::move(writer)),
      quality_(electrode_signals, settings.rate_hz, settings.filters) {
  if (writer_ && settings_.filter_output && settings_.filters.any()) {
    output_filter_.emplace(settings_.filters, settings_.rate_hz, std::move(electrode_signals),
                           signal_count_);
  }
}

void recording_pipeline::accept(const recording::sample_block& block) {
  std::size_t take = block.size();
  if (settings_.target_samples > 0) {
    take = static_cast<std::size_t>(std::min<std::uint64_t>(take, settings_.target_samples - std::min(samples_, settings_.target_samples)));
  }
  if (take == 0) return;
  recording::sample_block part;
  const recording::sample_block* rows = &block;
  if (take < block.size()) {
    part.reset(signal_count_);
    part.append(block, 0, take);
    rows = &part;
  }
  for (std::size_t i = 0; i < take; ++i) {
    const bool filler = rows->streaming[i] == 0;
    if (filler) {
      ++lost_;
      if (!in_gap_) ++gaps_;
    }
    in_gap_ = filler;
  }
  samples_ += take;
  next_sample_number_ = rows->sample_numbers[take - 1] + 1;
  quality_.add(*rows);
  if (observer_) observer_->rows_accepted(*rows);
  if (!writer_) return;
  if (output_filter_) {
    const recording::sample_block ready = output_filter_->push(*rows);
    writer_->write(ready);
  } else {
    writer_->write(*rows);
  }
}

void recording_pipeline::annotate(std::int64_t sample, const std::string& text) {
  ++annotations_;
  if (observer_) observer_->annotation_placed(sample, text);
  if (writer_) writer_->annotate(sample, text);
}

void recording_pipeline::finish() {
  if (!writer_) return;
  if (output_filter_) writer_->write(output_filter_->finish());
  writer_->close();
}

}  // namespace calyra::stream
