// Recovery of a recording left by a run that did not finish (killed, power
// lost): FILE.part with its sidecars FILE_events.tsv.part and FILE.json.part.
#pragma once

#include <cstdint>
#include <string>

namespace calyra::recording {

struct recovered_recording {
  std::string recording;    // the final names given
  std::string events;
  std::string description;
  std::uint64_t samples = 0;
  double seconds = 0.0;     // 0 when the rate is not known
  std::size_t annotations = 0;
  std::int64_t cut_bytes = 0;  // dropped from the end (a record or row not written whole)
};

// Checks FILE.part (BDF or CSV, by the name), cuts it back to its last
// complete record or row, fixes the BDF header, completes the sidecars from
// what the file holds (marked as recovered) and gives all three their final
// names. Never replaces an existing file, never touches a file that a
// running calyra still writes. Throws recording_error naming the cause.
recovered_recording recover_recording(const std::string& part_path);

}  // namespace calyra::recording
