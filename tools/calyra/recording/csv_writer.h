// CSV recordings: a comment line with the rate, a header row, then one row
// per sample.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "recording/recording_writer.h"

namespace calyra::recording {

// First line: "# calyra recording, 250 Hz, ..." (read with comment='#').
// Columns: "sample", "time" (seconds from the first row), one per layout
// signal (its label), "STREAMING" (0 marks filler samples for lost data),
// "ANNOTATION" (texts at that sample, joined by " | "). Rows are held back
// for `hold_seconds` so that annotations, which are stamped a little after
// their samples arrive, still find their row. Every write is checked; after
// a failure the file is cut back to its last complete row.
class csv_writer final : public recording_writer {
 public:
  csv_writer(const std::string& path, const recording_layout& layout, double hold_seconds = 2.0);
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
  [[noreturn]] void fail(int error);

  std::string path_;
  std::string name_;  // for messages
  recording_layout layout_;
  std::FILE* out_ = nullptr;
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

// The cell for `text`: quoted when it holds a comma, quote or line break.
std::string csv_cell(const std::string& text);

}  // namespace calyra::recording
