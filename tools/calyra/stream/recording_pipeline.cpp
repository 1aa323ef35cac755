#include "stream/recording_pipeline.h"

#include <algorithm>

#include "recording/bdf_writer.h"

namespace calyra::stream {

recording_pipeline::recording_pipeline(const std::vector<recording::signal_description>& signals,
                                       std::vector<std::size_t> electrode_signals,
                                       const pipeline_settings& settings,
                                       std::unique_ptr<recording::recording_writer> writer)
    : settings_(settings),
      signal_count_(signals.size()),
      writer_(std::move(writer)),
      quality_(electrode_signals, settings.rate_hz, settings.filters) {
  if (!settings_.events_path.empty()) {
    events_log_ = std::make_unique<recording::events_log>(settings_.events_path, settings_.rate_hz,
                                                          settings_.events_name);
  }
  if (writer_ && settings_.filter_output && settings_.filters.any()) {
    output_filter_.emplace(settings_.filters, settings_.rate_hz, std::move(electrode_signals));
  }
  held_.reset(signal_count_);
}

std::uint64_t recording_pipeline::missed_packets(std::uint64_t samples_per_packet) const {
  const auto packets_in = [samples_per_packet](std::uint64_t filler_samples) -> std::uint64_t {
    if (samples_per_packet == 0) return filler_samples > 0 ? 1 : 0;
    return (filler_samples + samples_per_packet - 1) / samples_per_packet;
  };
  const auto missed = [](const std::string& text) { return text == recording::bdf_writer::gap_text; };
  std::uint64_t packets = missed(gap_text_) ? packets_in(gap_length_) : 0;
  for (const auto& gap : gaps_) {
    if (missed(gap.text)) packets += packets_in(static_cast<std::uint64_t>(gap.duration));
  }
  return packets;
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
  if (!have_origin_) {
    have_origin_ = true;
    first_sample_number_ = rows->sample_numbers.front();
    for (const auto& a : unlogged_) log_event(a);
    unlogged_.clear();
  }
  for (std::size_t i = 0; i < take; ++i) {
    if (rows->streaming[i] == 0) {
      if (gap_length_ == 0) {
        gap_text_ = next_gap_text_.empty() ? recording::bdf_writer::gap_text : next_gap_text_;
        next_gap_text_.clear();
      }
      ++gap_length_;
      ++(gap_text_ == recording::bdf_writer::gap_text ? lost_ : outage_samples_);
    } else {
      end_gap(samples_ + i);
    }
  }
  samples_ += take;
  next_sample_number_ = rows->sample_numbers[take - 1] + 1;
  quality_.add(*rows);
  if (!writer_ || write_failed_) return;
  write_rows(output_filter_ ? output_filter_->push(*rows) : *rows);
}

void recording_pipeline::end_gap(std::uint64_t end_row) {
  if (gap_length_ == 0) return;
  const auto end = static_cast<std::int64_t>(end_row);
  const auto length = static_cast<std::int64_t>(gap_length_);
  gaps_.push_back({end - length, length, gap_text_, {}});
  if (events_log_) events_log_->append(gaps_.back());
  gap_length_ = 0;
}

void recording_pipeline::label_next_gap(const std::string& text) {
  end_gap(samples_);
  next_gap_text_ = text;
  if (!writer_ || write_failed_) return;
  // Rows still held for the start would be labelled wrongly: the start is
  // settled now (an outage within the first seconds), as at the end.
  if (!start_settled_ && !held_.empty()) release_held();
  writer_->label_next_gap(text);
}

// Each run of consecutive sample numbers takes its times in one call, so
// that the column follows the clock's published track and never steps.
void recording_pipeline::stamp(recording::sample_block& rows) const {
  if (!clock_ || rows.empty() || !clock_->host_time_of(static_cast<double>(rows.sample_numbers.front()))) return;
  rows.host_times.assign(rows.size(), recording::unknown_host_time);
  std::size_t run = 0;
  for (std::size_t i = 1; i <= rows.size(); ++i) {
    if (i < rows.size() && rows.sample_numbers[i] == rows.sample_numbers[i - 1] + 1) continue;
    if (!clock_->host_times_of(static_cast<std::int64_t>(rows.sample_numbers[run]), i - run, rows.host_times.data() + run)) {
      std::fill(rows.host_times.begin() + static_cast<std::ptrdiff_t>(run),
                rows.host_times.begin() + static_cast<std::ptrdiff_t>(i), recording::unknown_host_time);
    }
    run = i;
  }
}

// Sets the file's start to when the first sample was acquired, if the
// clock knows it; otherwise the layout's time stands.
void recording_pipeline::settle_start() {
  start_settled_ = true;
  if (!clock_ || !have_origin_) return;
  if (const auto t = clock_->host_time_of(static_cast<double>(first_sample_number_))) {
    first_sample_time_ = wall_time_of(*t);
    writer_->set_start_time(*first_sample_time_);
  }
}

void recording_pipeline::write_checked(const recording::sample_block& rows) {
  try {
    writer_->write(rows);
  } catch (const recording::recording_error&) {
    write_failed_ = true;
    throw;
  }
}

// Settles the start and writes the rows held until then.
void recording_pipeline::release_held() {
  try {
    settle_start();
  } catch (const recording::recording_error&) {
    write_failed_ = true;
    throw;
  }
  recording::sample_block rows = std::move(held_);
  held_.reset(signal_count_);
  stamp(rows);
  write_checked(rows);
  if (on_start_settled_) on_start_settled_();
}

void recording_pipeline::write_rows(recording::sample_block rows) {
  if (start_settled_) {
    stamp(rows);
    write_checked(rows);
    return;
  }
  held_.append(rows, 0, rows.size());
  const bool known = clock_ && clock_->host_time_of(static_cast<double>(first_sample_number_));
  const bool wait = clock_ && !known && held_.size() < std::uint64_t{max_held_seconds} * settings_.rate_hz;
  if (!wait) release_held();
}

std::string recording_pipeline::annotate(std::int64_t sample, const std::string& text, const std::string& source) {
  bool changed = false;
  std::string clean = recording::clean_annotation_text(text, changed);
  if (changed) {
    // Bytes that are not UTF-8 become U+FFFD, control characters spaces:
    // more U+FFFD after than before tells the first kind.
    const auto replacements = [](const std::string& t) {
      std::size_t n = 0;
      for (std::size_t at = t.find("\xEF\xBF\xBD"); at != std::string::npos; at = t.find("\xEF\xBF\xBD", at + 3)) ++n;
      return n;
    };
    ++(replacements(clean) > replacements(text) ? cleaned_ : cleaned_controls_);
  }
  annotations_.push_back({sample, clean, source});
  if (have_origin_) {
    log_event(annotations_.back());
  } else {
    unlogged_.push_back(annotations_.back());
  }
  if (writer_) writer_->annotate(sample, clean);
  return clean;
}

void recording_pipeline::log_event(const annotation& a) {
  if (!events_log_) return;
  const std::int64_t position = a.sample - static_cast<std::int64_t>(first_sample_number_);
  events_log_->append({std::max<std::int64_t>(position, 0), -1, a.text, a.source});
}

std::vector<recording::recording_event> recording_pipeline::events() const {
  std::vector<recording::recording_event> all;
  const auto last = std::max<std::int64_t>(static_cast<std::int64_t>(samples_) - 1, 0);
  for (const auto& a : annotations_) {
    const std::int64_t position = have_origin_ ? a.sample - static_cast<std::int64_t>(first_sample_number_) : 0;
    all.push_back({std::clamp<std::int64_t>(position, 0, last), -1, a.text, a.source});
  }
  all.insert(all.end(), gaps_.begin(), gaps_.end());
  if (gap_length_ > 0) {
    const auto length = static_cast<std::int64_t>(gap_length_);
    all.push_back({static_cast<std::int64_t>(samples_) - length, length, gap_text_, {}});
  }
  // Annotations keep the order they were typed in among equal onsets.
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.position < b.position; });
  return all;
}

void recording_pipeline::finish() {
  if (!writer_) return;
  std::string failure;
  try {
    // The stream has stopped: the clock knows all it will.
    if (!start_settled_ && !write_failed_) release_held();
  } catch (const recording::recording_error& e) {
    failure = e.what();
  }
  try {
    writer_->close();
  } catch (const recording::recording_error& e) {
    if (failure.empty()) failure = e.what();
  }
  // The events table is written even when the recording failed: it is small,
  // and it keeps every annotation typed.
  try {
    if (events_log_) events_log_->finish(events());
  } catch (const recording::recording_error& e) {
    if (failure.empty()) failure = e.what();
  }
  if (!failure.empty()) throw recording::recording_error(failure);
}

std::vector<std::string> recording_pipeline::remarks() const {
  std::vector<std::string> lines;
  if (cleaned_ > 0) {
    lines.push_back(std::to_string(cleaned_) + " annotation" + (cleaned_ == 1 ? " had" : "s had") +
                    " bytes that are not UTF-8 text, replaced by U+FFFD");
  }
  if (cleaned_controls_ > 0) {
    lines.push_back(std::to_string(cleaned_controls_) + " annotation" + (cleaned_controls_ == 1 ? " had" : "s had") +
                    " control characters, replaced by spaces");
  }
  if (writer_) {
    for (std::string& line : writer_->remarks()) lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace calyra::stream
