// Reads a BDF+ file back with EDFlib's reader, for checking recordings.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace calyra::test {

struct bdf_annotation {
  double onset_seconds = 0.0;
  double duration_seconds = -1.0;  // -1: none
  std::string text;
};

struct bdf_signal {
  std::string label;  // trailing blanks removed
  std::string unit;
  double physical_min = 0.0;
  double physical_max = 0.0;
  int digital_max = 0;
  std::vector<double> samples;
};

struct bdf_contents {
  int file_type = -1;
  std::string equipment;
  double record_seconds = 0.0;
  std::time_t start_second = 0;   // the header's start date and time, read as local time
  long long start_subsecond = 0;  // fraction of the start second, units of 100 ns
  std::string patient;            // the BDF+ patient field, subfields joined by blanks
  std::vector<bdf_signal> signals;
  std::vector<bdf_annotation> annotations;

  // One digital step of a signal in physical units.
  double resolution(std::size_t s) const {
    return (signals[s].physical_max - signals[s].physical_min) / (2.0 * signals[s].digital_max);
  }
};

// Throws std::runtime_error when the file does not open as EDF+/BDF+.
bdf_contents read_bdf(const std::string& path);

}  // namespace calyra::test
