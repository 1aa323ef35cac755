// BDF+ recordings through EDFlib: 24-bit samples, annotations as BDF+ TALs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recording/recording_writer.h"

namespace calyra::recording {

class bdf_writer final : public recording_writer {
 public:
  // Creates the file and writes its header fields; throws recording_error.
  bdf_writer(const std::string& path, const recording_layout& layout);
  ~bdf_writer() override;

  bdf_writer(const bdf_writer&) = delete;
  bdf_writer& operator=(const bdf_writer&) = delete;

  void write(const sample_block& block) override;
  void annotate(std::int64_t sample, const std::string& text) override;
  void close() override;

  // Text written for a run of filler samples (lost packets).
  static constexpr const char* gap_text = "Missed samples";
  // Text written at the true end when the last data record had to be padded.
  static constexpr const char* end_text = "Recording ends";
  // EDFlib keeps at most this many bytes of an annotation text.
  static constexpr std::size_t max_annotation_bytes = 40;

 private:
  struct annotation {
    std::int64_t position;  // in samples from the start of the file
    std::int64_t duration;  // in samples, -1: none
    std::string text;
  };

  void write_record();
  void end_gap();
  long long to_edf_time(std::int64_t samples) const;

  std::string path_;
  recording_layout layout_;
  int handle_ = -1;
  int samples_per_record_ = 0;
  int annotation_signals_ = 0;
  std::vector<std::vector<double>> record_;  // one partial record per signal
  int record_fill_ = 0;
  std::int64_t records_written_ = 0;
  std::int64_t samples_written_ = 0;  // rows accepted, padding excluded
  bool have_origin_ = false;
  std::uint64_t first_sample_number_ = 0;
  std::vector<std::pair<std::int64_t, std::string>> stream_annotations_;  // stream sample, text
  std::vector<annotation> gap_annotations_;
  std::int64_t gap_start_ = -1;
};

// Cuts `text` to at most `max_bytes` bytes without splitting a UTF-8 character.
std::string utf8_prefix(const std::string& text, std::size_t max_bytes);

}  // namespace calyra::recording
