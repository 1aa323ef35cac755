// What happens to the samples of a stream on the session's thread: cut at
// the requested length, counted (samples, lost packets), graded, filtered
// for writing if asked, and written, with the events (annotations and gaps)
// kept for the events file. Each headset stream keeps one without a writer
// as its tally; the recording sink keeps one with the writer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quality/quality_monitor.h"
#include "filtering/signal_filters.h"
#include "recording/events.h"
#include "recording/recording_writer.h"
#include "recording/sample_block.h"
#include "stream/sample_clock.h"

namespace calyra::stream {

struct pipeline_settings {
  unsigned rate_hz = 250;
  std::uint64_t target_samples = 0;  // 0: no limit
  filtering::filter_settings filters;  // applied to what is graded
  bool filter_output = false;        // also to what is written
  std::string events_path;           // where the events table is kept, empty: nowhere
  std::string events_name;           // its name in messages
};

class recording_pipeline {
 public:
  // `writer` may be null (stream without --out).
  recording_pipeline(const std::vector<recording::signal_description>& signals,
                     std::vector<std::size_t> electrode_signals, const pipeline_settings& settings,
                     std::unique_ptr<recording::recording_writer> writer);

  // Takes the rows of a chunk; rows beyond the target are dropped. Throws
  // recording_error when the file cannot be written; later rows are then
  // still counted and graded, but no longer written.
  void accept(const recording::sample_block& block);
  // Stores `text` (made valid UTF-8) at the stream sample `sample` and
  // returns the text as stored. `source` names who sent it, for the events
  // table.
  std::string annotate(std::int64_t sample, const std::string& text, const std::string& source = {});
  // The filler rows accepted next, up to the next decoded row, are one span
  // described by `text` (a link outage): one event in the events table and
  // the file, counted in outage_samples(), not as lost packets.
  void label_next_gap(const std::string& text);
  // Finishes the file and writes the events table in onset order (while
  // recording it grows line by line).
  // Throws recording_error (the files stay as readable as they can be).
  void finish();

  bool target_reached() const {
    return settings_.target_samples > 0 && samples_ >= settings_.target_samples;
  }
  std::uint64_t samples() const { return samples_; }
  double seconds() const { return static_cast<double>(samples_) / settings_.rate_hz; }
  // Packets lost within the recording: each run of filler samples spans
  // whole packets of `samples_per_packet` samples (0: unknown, one per run).
  std::uint64_t missed_packets(std::uint64_t samples_per_packet) const;
  std::uint64_t lost_samples() const { return lost_; }
  std::uint64_t outage_samples() const { return outage_samples_; }
  std::size_t annotations() const { return annotations_.size(); }
  // Annotations whose text had invalid UTF-8 or control characters replaced.
  std::size_t cleaned_annotations() const { return cleaned_ + cleaned_controls_; }
  // Sample number of the next sample expected (0 before the first).
  std::uint64_t next_sample_number() const { return next_sample_number_; }
  // Sample number of the first row taken; nullopt before it.
  std::optional<std::uint64_t> first_sample_number() const {
    return have_origin_ ? std::optional<std::uint64_t>(first_sample_number_) : std::nullopt;
  }
  std::uint64_t target_samples() const { return settings_.target_samples; }
  bool write_failed() const { return write_failed_; }
  // What the file format could not hold as given, once finished.
  std::vector<std::string> remarks() const;
  quality::quality_monitor& quality() { return quality_; }

  // Times the recording by `clock` (null: untimed, the default), which must
  // outlive the pipeline. The file's start is then the moment its first
  // sample was acquired, and every row gets its host time: rows are held
  // back until the clock is known (about a second into the stream), for at
  // most max_held_seconds; past that the file starts at the layout's time
  // and rows get their host times from when the clock is known.
  void set_clock(const sample_clock* clock) { clock_ = clock; }
  static constexpr unsigned max_held_seconds = 3;
  // Called once the start is settled and the held rows are written, on the
  // thread that calls accept() or finish(); what it throws passes through.
  void on_start_settled(std::function<void()> listener) { on_start_settled_ = std::move(listener); }
  // When the first sample was acquired by the clock; nullopt while not
  // known, or when the start was settled without the clock.
  std::optional<std::chrono::system_clock::time_point> first_sample_time() const { return first_sample_time_; }

 private:
  std::vector<recording::recording_event> events() const;
  struct annotation {
    std::int64_t sample;  // stream sample
    std::string text;
    std::string source;
  };
  void log_event(const annotation& a);
  void end_gap(std::uint64_t end_row);
  void write_rows(recording::sample_block rows);
  void write_checked(const recording::sample_block& rows);
  void release_held();
  void settle_start();
  void stamp(recording::sample_block& rows) const;

  pipeline_settings settings_;
  std::size_t signal_count_;
  std::unique_ptr<recording::recording_writer> writer_;
  std::unique_ptr<recording::events_log> events_log_;
  std::vector<annotation> unlogged_;  // annotations before the first sample
  std::optional<filtering::output_filter> output_filter_;
  quality::quality_monitor quality_;
  std::uint64_t samples_ = 0;
  std::uint64_t lost_ = 0;
  std::uint64_t gap_length_ = 0;  // filler samples of the gap in progress
  std::string next_gap_text_;     // the text of the next gap, empty: missed samples
  std::string gap_text_;          // the text of the gap in progress
  std::uint64_t outage_samples_ = 0;
  std::vector<recording::recording_event> gaps_;  // position and duration in rows
  std::vector<annotation> annotations_;
  std::size_t cleaned_ = 0;           // annotations with bytes that are not UTF-8
  std::size_t cleaned_controls_ = 0;  // ... with control characters only
  bool have_origin_ = false;
  std::uint64_t first_sample_number_ = 0;
  std::uint64_t next_sample_number_ = 0;
  bool write_failed_ = false;
  const sample_clock* clock_ = nullptr;
  bool start_settled_ = false;
  recording::sample_block held_;  // rows for the writer while the start is not settled
  std::optional<std::chrono::system_clock::time_point> first_sample_time_;
  std::function<void()> on_start_settled_;
};

}  // namespace calyra::stream
