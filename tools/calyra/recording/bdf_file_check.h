// Checks a BDF file against its own header: a run that was killed or lost
// power can leave a record written in part, or more records than the header
// counts yet.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace calyra::recording {

struct bdf_file_state {
  std::int64_t header_bytes = 0;
  std::int64_t records_in_header = 0;  // -1 while a writer has not finished
  std::int64_t record_bytes = 0;
  std::int64_t file_bytes = 0;
  std::int64_t complete_records = 0;  // whole records present after the header
  std::int64_t last_signal_bytes = 0;  // bytes of the last signal (the annotations) in a record
  std::int64_t first_signal_samples = 0;  // samples of the first signal in a record
  double record_seconds = 0.0;
};

// Reads the header fields of `path`; nullopt when the header itself is
// incomplete or not a BDF header.
std::optional<bdf_file_state> inspect_bdf_file(const std::string& path);

// Makes `path` a valid file holding its first `records` complete records:
// drops a partial record at the end and writes the count into the header.
// Returns false when that cannot be done.
bool truncate_bdf_file(const std::string& path, const bdf_file_state& state, std::int64_t records);

}  // namespace calyra::recording
