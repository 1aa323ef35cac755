// Recordings written by the program's writers in a scratch directory: the
// pieces shared by the writer and recovery tests.
#pragma once

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "recording/sample_block.h"

namespace calyra::test {

namespace fs = std::filesystem;
using namespace calyra::recording;

class temp_dir {
 public:
  temp_dir() {
    path_ = fs::temp_directory_path() / ("calyra_rec_" + std::to_string(getpid()) + "_" +
                                         std::to_string(counter_++));
    fs::create_directories(path_);
  }
  ~temp_dir() { fs::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
  static inline int counter_ = 0;
};

inline recording_layout test_layout() {
  recording_layout layout;
  layout.sample_rate_hz = 250;
  layout.equipment = "Calyra KESTREL fw 3.6.1";
  layout.start_time = std::chrono::system_clock::now();
  layout.signals = {
      {signal_kind::electrode, "E1", "uV", -562500.0, 562500.0},
      {signal_kind::electrode, "E2", "uV", -562500.0, 562500.0},
      {signal_kind::contact, "Contact E1", "", 0.0, 1.0},
      {signal_kind::accelerometer, "Accel X", "m/s2", -1300.0, 1300.0},
  };
  return layout;
}

// Rows first..first+count of a deterministic stream; `gap` rows are filler.
inline sample_block make_rows(std::uint64_t first, std::size_t count, std::uint64_t gap_from = 0,
                       std::uint64_t gap_to = 0) {
  sample_block b;
  b.reset(4);
  for (std::uint64_t n = first; n < first + count; ++n) {
    const bool filler = n >= gap_from && n < gap_to;
    b.sample_numbers.push_back(n);
    b.streaming.push_back(filler ? 0 : 1);
    b.signals[0].push_back(filler ? 0.0 : 40.0 * std::sin(0.25 * static_cast<double>(n)) + 0.123456);
    b.signals[1].push_back(filler ? 0.0 : -1000.0 + static_cast<double>(n % 97));
    b.signals[2].push_back(filler ? 0.0 : static_cast<double>(n % 2));
    b.signals[3].push_back(static_cast<float>(9.80665f * static_cast<float>(n % 3)));
  }
  return b;
}


}  // namespace calyra::test
