// CSV recordings: a header row, then one row per sample.
#pragma once

#include <cstdint>
#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "recording/recording_writer.h"

namespace calyra::recording {

// Columns: "sample", one per layout signal (its label), "STREAMING" (0 marks
// filler samples for lost data), "ANNOTATION" (texts at that sample, joined
// by " | "). Rows are held back for `hold_seconds` so that annotations,
// which are stamped a little after their samples arrive, still find their row.
class csv_writer final : public recording_writer {
 public:
  csv_writer(const std::string& path, const recording_layout& layout, double hold_seconds = 2.0);

  void write(const sample_block& block) override;
  void annotate(std::int64_t sample, const std::string& text) override;
  void close() override;

 private:
  void flush_rows(std::size_t keep);
  void write_row(std::size_t index);

  std::string path_;
  recording_layout layout_;
  std::ofstream out_;
  std::size_t hold_rows_;
  sample_block pending_;      // rows not yet written
  std::size_t pending_first_ = 0;  // rows of pending_ before this are written
  std::multimap<std::int64_t, std::string> annotations_;  // stream sample -> text
  bool any_row_written_ = false;
};

// The cell for `text`: quoted when it holds a comma, quote or line break.
std::string csv_cell(const std::string& text);

}  // namespace calyra::recording
