// BDF+ recordings: 24-bit samples in 0.1 s data records, annotations as
// BDF+ TALs in the records they fall in.
//
// The file on disk stays a valid BDF+ file while it grows: records are
// written whole, a few times a second, each with the annotations known by
// then, and the record count in the header follows each write (one
// positioned write); the data is synced to the disk once a second. A run
// that is killed, or a machine that loses power, leaves a file that readers
// open, short of at most the last second. EDFlib cannot write that way (it
// buffers records and writes the count and all annotations when it closes),
// so this writer lays the file out itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "recording/events.h"
#include "recording/recording_writer.h"

namespace calyra::recording {

class bdf_writer final : public recording_writer {
 public:
  // Creates the file and writes its header; throws recording_error.
  bdf_writer(const std::string& path, const recording_layout& layout);
  ~bdf_writer() override;

  bdf_writer(const bdf_writer&) = delete;
  bdf_writer& operator=(const bdf_writer&) = delete;

  // Throws recording_error as soon as a write fails; the file is then cut
  // back to the records that reached it, and stays readable.
  void write(const sample_block& block) override;
  // Throws recording_error when the header cannot be written again.
  void set_start_time(std::chrono::system_clock::time_point first_sample) override;
  void annotate(std::int64_t sample, const std::string& text) override;
  // Pads and writes the last record, places the annotations still waiting
  // and syncs the file.
  void close() override;
  void label_next_gap(const std::string& text) override;
  std::vector<std::string> remarks() const override;

  // Text written for a run of filler samples (lost packets); analysis tools
  // skip spans whose description starts with "BAD".
  static constexpr const char* gap_text = "BAD missed samples";
  // Span of the samples repeated to fill the last data record, from the true
  // end of the recording: "BAD" so that analysis skips them.
  static constexpr const char* end_text = "BAD padding after the end";
  // Bytes of an annotation text kept in the file (the events file keeps all).
  static constexpr std::size_t max_annotation_bytes = 40;
  // Bytes of the annotation signal in each record: the record's time and
  // three annotations of full length, ten short ones; more wait for the
  // next records, and at the end go into the free room of earlier ones.
  static constexpr int annotation_bytes = 240;

 private:
  struct waiting_event {
    std::int64_t sample = 0;     // stream sample number (user annotations) or position (gaps)
    bool stream_numbered = false;
    std::int64_t duration = -1;  // samples
    std::string text;
  };

  std::string header() const;
  void encode_record();
  std::string timekeeping_tal(std::int64_t record) const;
  std::string event_tal(const waiting_event& e, std::int64_t position, long long& onset) const;
  bool try_place(std::string& tal, const waiting_event& e, std::size_t limit);
  std::int64_t position_of(const waiting_event& e) const;
  void place_waiting(std::string& tal, std::int64_t record_end);
  void place_late_annotations();
  void checkpoint(bool sync);
  void write_at(const std::string& bytes, std::int64_t offset);
  std::size_t write_some(const std::string& bytes, std::int64_t offset, int& error);
  [[noreturn]] void fail(const std::string& cause);
  void end_gap();

  std::string path_;
  std::string name_;  // for messages: the name the user gave
  recording_layout layout_;
  int fd_ = -1;
  std::int64_t header_bytes_ = 0;
  std::int64_t record_bytes_ = 0;
  int samples_per_record_ = 0;
  double record_seconds_ = 0.0;
  long long start_offset_units_ = 0;  // start within its second, units of 100 ns (100 us steps)
  std::vector<double> scale_;          // digital per physical unit, per signal
  std::vector<int> digital_min_, digital_max_;
  std::vector<std::vector<double>> record_;  // one partial record per signal
  int record_fill_ = 0;
  std::string unwritten_;                    // encoded records not yet written
  std::int64_t records_encoded_ = 0;
  std::int64_t records_written_ = 0;
  std::vector<std::uint8_t> tal_bytes_;      // annotation bytes used, per record
  std::chrono::steady_clock::time_point last_write_;
  std::chrono::steady_clock::time_point last_sync_;
  std::int64_t samples_written_ = 0;  // rows accepted, padding excluded
  bool have_origin_ = false;
  std::int64_t first_sample_number_ = 0;
  std::deque<waiting_event> waiting_;  // annotations not in the file yet, in typed order
  std::set<long long> onsets_used_;    // units of 100 us
  std::int64_t gap_start_ = -1;
  std::string next_gap_text_;  // the text of the next gap, empty: gap_text
  std::string gap_text_;       // the text of the gap in progress
  bool failed_ = false;
  std::string failure_;  // why writing stopped
  std::vector<std::string> header_remarks_;
  std::size_t shortened_ = 0;
  std::size_t left_out_ = 0;
};

// Cuts `text` to at most `max_bytes` bytes without splitting a UTF-8 character.
std::string utf8_prefix(const std::string& text, std::size_t max_bytes);

// The BDF signal label: the signal type first ("EEG E1", "MISC Accel X"), as
// EEG software reads it to tell electrodes from other signals.
std::string bdf_label(const signal_description& signal);

}  // namespace calyra::recording
