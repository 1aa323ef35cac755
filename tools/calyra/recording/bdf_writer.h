// BDF+ recordings through EDFlib: 24-bit samples, annotations as BDF+ TALs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recording/events.h"
#include "recording/recording_writer.h"

namespace calyra::recording {

class bdf_writer final : public recording_writer {
 public:
  // Creates the file and writes its header fields; throws recording_error.
  bdf_writer(const std::string& path, const recording_layout& layout);
  ~bdf_writer() override;

  bdf_writer(const bdf_writer&) = delete;
  bdf_writer& operator=(const bdf_writer&) = delete;

  // Throws recording_error as soon as the data written stops reaching the
  // disk (checked every second of data, within EDFlib's buffering).
  void write(const sample_block& block) override;
  void annotate(std::int64_t sample, const std::string& text) override;
  // Finishes the file and checks it against its header. After a failure the
  // file is cut back to the data records that reached the disk, so that it
  // stays readable, and recording_error says how much it holds.
  void close() override;
  std::vector<std::string> remarks() const override;

  // Text written for a run of filler samples (lost packets); analysis tools
  // skip spans whose description starts with "BAD".
  static constexpr const char* gap_text = "BAD missed samples";
  // Span of the samples repeated to fill the last data record, from the true
  // end of the recording: "BAD" so that analysis skips them.
  static constexpr const char* end_text = "BAD padding after the end";
  // EDFlib keeps at most this many bytes of an annotation text.
  static constexpr std::size_t max_annotation_bytes = 40;
  // EDFlib keeps at most one annotation per data record and annotation
  // signal, and offers up to this many annotation signals.
  static constexpr int max_annotation_signals = 64;

 private:
  int open_file(const std::string& path, int annotation_signals) const;
  void write_record();
  void check_progress();
  void end_gap();
  std::vector<recording_event> file_annotations();
  void copy_with_annotation_signals(int annotation_signals);
  void write_annotations(int handle, const std::vector<recording_event>& events) const;
  void verify(const std::string& path);

  std::string path_;
  std::string name_;  // for messages: the name the user gave
  recording_layout layout_;
  int handle_ = -1;
  int samples_per_record_ = 0;
  int record_duration_ = 0;  // units of 10 us
  int annotation_signals_ = 0;
  std::vector<std::vector<double>> record_;  // one partial record per signal
  int record_fill_ = 0;
  std::int64_t records_written_ = 0;
  std::int64_t samples_written_ = 0;  // rows accepted, padding excluded
  bool have_origin_ = false;
  std::uint64_t first_sample_number_ = 0;
  std::vector<std::pair<std::int64_t, std::string>> stream_annotations_;  // stream sample, text
  std::vector<recording_event> gap_annotations_;
  std::vector<recording_event> file_annotations_;  // what close() writes
  std::int64_t gap_start_ = -1;
  bool failed_ = false;
  std::string failure_;  // why writing stopped
  std::size_t shortened_ = 0;
  std::size_t left_out_ = 0;
};

// Cuts `text` to at most `max_bytes` bytes without splitting a UTF-8 character.
std::string utf8_prefix(const std::string& text, std::size_t max_bytes);

// The BDF signal label: the signal type first ("EEG E1", "MISC Accel X"), as
// EEG software reads it to tell electrodes from other signals.
std::string bdf_label(const signal_description& signal);

}  // namespace calyra::recording
