// Signal-quality grades of the streamed electrodes, recomputed every second
// over the last two seconds, each with a short reason.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "filtering/filter_settings.h"
#include "recording/sample_block.h"

namespace calyra::quality {

struct electrode_quality {
  int grade = -1;      // -1 not graded yet, 0 bad, 1 noisy, 2 good
  std::string reason;  // empty for good and ungraded
};

// "good", "noisy", "bad", "-".
std::string grade_word(int grade);

// Grades a channel-major window with cy_bci_connect_get_signal_quality and
// explains each grade from the same statistics: the detrended range, the
// median absolute deviation and the 50/60 Hz bins against the 5-15 Hz band.
std::vector<electrode_quality> grade_window(const double* data, std::size_t n_channels,
                                            std::size_t n_samples, double rate_hz);

class quality_monitor {
 public:
  quality_monitor(std::vector<std::size_t> electrode_signals, unsigned rate_hz,
                  const filtering::filter_settings& filters);

  // Appends the electrode columns of `block`.
  void add(const recording::sample_block& block);
  // True once a second of samples has arrived since the last grading.
  bool due() const { return new_samples_ >= rate_; }
  std::size_t new_samples() const { return new_samples_; }
  // Grades the last two seconds (less at the very start, but never less than
  // one second: until then the grades stay -1) and returns them.
  const std::vector<electrode_quality>& evaluate();
  const std::vector<electrode_quality>& latest() const { return latest_; }

 private:
  std::vector<std::size_t> electrodes_;
  std::size_t rate_;
  filtering::filter_settings filters_;
  std::vector<std::vector<double>> history_;  // per electrode, the newest samples last
  std::size_t new_samples_ = 0;
  std::vector<electrode_quality> latest_;
};

}  // namespace calyra::quality
