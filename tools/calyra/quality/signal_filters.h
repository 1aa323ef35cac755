// Band-pass and band-stop filtering of electrode signals for what is shown
// and, on request, for what is written.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "cli/options.h"
#include "recording/sample_block.h"

namespace calyra::quality {

// Width of the band-stop placed around --notch.
inline constexpr double notch_width_hz = 4.0;

struct filter_settings {
  std::optional<cli::band> bandpass;
  double notch_hz = 0.0;  // 0: none

  bool any() const { return bandpass.has_value() || notch_hz > 0.0; }
};

// Filters a channel-major block in place (zero phase). Each channel's mean is
// taken out first, so that an electrode offset does not ring at the block
// ends, and put back when no band-pass is there to remove it.
void apply_filters(double* data, std::size_t n_channels, std::size_t n_samples, double rate_hz,
                   const filter_settings& settings);

// Filters a stream block by block for writing. The filters look at both
// sides of each sample, so every second of output waits for the next second
// of input; each block is filtered with one second of context on either side
// so that the block edges do not show. Columns other than the electrodes
// pass through unchanged, delayed the same way.
class output_filter {
 public:
  output_filter(const filter_settings& settings, unsigned rate_hz,
                std::vector<std::size_t> electrode_signals, std::size_t signal_count);

  // Takes rows in; returns the rows that are ready (possibly none).
  recording::sample_block push(const recording::sample_block& block);
  // Returns every row still held (end of the stream).
  recording::sample_block finish();

 private:
  recording::sample_block filter_front(std::size_t rows);

  filter_settings settings_;
  std::size_t rate_;
  std::vector<std::size_t> electrodes_;
  std::size_t signal_count_;
  recording::sample_block pending_;               // rows not yet released
  std::vector<std::vector<double>> left_context_;  // raw electrode values already released
};

}  // namespace calyra::quality
