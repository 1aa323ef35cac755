// CSV recordings: a header row, then one row per sample. The rate, device
// and filters are in the JSON sidecar, so that the common readers (Python's
// csv module, numpy's genfromtxt with names=True, pandas' read_csv) take
// the first line as the column names.
#pragma once

#include <cstdint>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "recording/recording_writer.h"

namespace calyra::recording {

// Columns: "sample", "time" (seconds from the first row), "host_time_s"
// (when the sample was acquired, seconds of CLOCK_MONOTONIC by the stream
// clock, microseconds; empty where the clock was not known), one per layout
// signal (its label), "STREAMING" (0 marks filler samples for lost data),
// "ANNOTATION" (texts at that sample, joined by " | "). Rows are held back
// for `hold_seconds` so that annotations, which are stamped a little after
// their samples arrive, still find their row. Whole rows reach the file a
// few times a second and the disk once a second, so that a run that ends
// abruptly leaves every row up to about a second before. Every write is
// checked; after a failure the file is cut back to its last complete row.
class csv_writer final : public recording_writer {
 public:
  csv_writer(const std::string& path, const recording_layout& layout, double hold_seconds = 0.5);
  ~csv_writer() override;

  csv_writer(const csv_writer&) = delete;
  csv_writer& operator=(const csv_writer&) = delete;

  void write(const sample_block& block) override;
  void annotate(std::int64_t sample, const std::string& text) override;
  void close() override;

 private:
  void flush_rows(std::size_t keep);
  void append_row(std::size_t index, std::string& text);
  void put(const std::string& text);
  void write_out(bool sync);
  [[noreturn]] void fail(int error);

  std::string path_;
  std::string name_;  // for messages
  recording_layout layout_;
  int fd_ = -1;
  std::string unwritten_;  // whole rows not yet in the file
  std::chrono::steady_clock::time_point last_write_;
  std::chrono::steady_clock::time_point last_sync_;
  std::size_t hold_rows_;
  sample_block pending_;           // rows not yet written
  std::size_t pending_first_ = 0;  // rows of pending_ before this are written
  std::multimap<std::int64_t, std::string> annotations_;  // stream sample -> text
  bool have_origin_ = false;
  std::uint64_t first_sample_number_ = 0;
  std::uint64_t rows_written_ = 0;
  bool failed_ = false;
  std::string failure_;
};

// Cuts the file after its last line end, so that it holds whole rows only.
void cut_csv_to_last_line(const std::string& path);

// The cell for `text`: quoted when it holds a comma, quote or line break.
std::string csv_cell(const std::string& text);

}  // namespace calyra::recording
