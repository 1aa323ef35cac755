// Samples as the program moves them between the stream, the filters, the
// display and the writers: one row per sample, stored column by column.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace calyra::recording {

enum class signal_kind { electrode, contact, accelerometer };

struct signal_description {
  signal_kind kind = signal_kind::electrode;
  std::string label;  // at most 16 characters ("E1", "Contact E1", "Accel X")
  std::string unit;   // at most 8 characters ("uV", "m/s2", "counts", "")
  double physical_min = 0.0;
  double physical_max = 0.0;
};

// What a recording holds, fixed before the first sample.
struct recording_layout {
  std::vector<signal_description> signals;
  unsigned sample_rate_hz = 0;
  std::string equipment;  // model and firmware
  std::chrono::system_clock::time_point start_time;
  std::string prefilter;  // filters applied to the electrode signals written, empty: none
  std::string subject;    // who was recorded (--subject)
  std::string session;    // --session
  std::string note;       // --note
  std::string file_name;  // the name the user gave (the file is written under another), for messages
};

// A host time the stream clock did not give (it was not known yet).
inline constexpr std::int64_t unknown_host_time = std::numeric_limits<std::int64_t>::min();

// A run of consecutive samples. Every column has size() entries, except
// host_times, which is empty when no row has a host time.
struct sample_block {
  std::vector<std::uint64_t> sample_numbers;  // the stream's own sample numbers
  std::vector<std::uint8_t> streaming;        // 1: decoded sample, 0: filler for lost data
  std::vector<std::vector<double>> signals;   // one column per layout signal
  // When each sample was acquired, CLOCK_MONOTONIC ns by the stream clock;
  // unknown_host_time where the clock was not known.
  std::vector<std::int64_t> host_times;

  std::size_t size() const { return sample_numbers.size(); }
  bool empty() const { return sample_numbers.empty(); }

  void reset(std::size_t signal_count) {
    sample_numbers.clear();
    streaming.clear();
    host_times.clear();
    signals.assign(signal_count, {});
  }

  // Appends rows [first, first + count) of `other`, which has the same layout.
  void append(const sample_block& other, std::size_t first, std::size_t count);

  // The host time of row `i`, or unknown_host_time.
  std::int64_t host_time(std::size_t i) const { return host_times.empty() ? unknown_host_time : host_times[i]; }
};

}  // namespace calyra::recording
