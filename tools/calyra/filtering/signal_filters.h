// Band-pass and band-stop filtering of electrode signals: zero phase over
// the quality monitor's windows, causal for what is written.
#pragma once

#include <cybciconnect.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "filtering/filter_settings.h"
#include "filtering/causal_filter.h"
#include "recording/sample_block.h"

namespace calyra::filtering {

// Width of the band-stop placed around --notch.
inline constexpr double notch_width_hz = 4.0;
// Butterworth order of the band-pass and of the band-stop (the order of the
// zero-phase filters' designs, so both run the same sections).
inline constexpr int output_filter_order = 4;

// Filters a channel-major block in place (zero phase). Each channel's mean is
// taken out first, so that an electrode offset does not ring at the block
// ends, and put back when no band-pass is there to remove it.
void apply_filters(double* data, std::size_t n_channels, std::size_t n_samples, double rate_hz,
                   const filter_settings& settings);

// The online filter chain for `settings`: the band-pass, then the band-stop.
std::vector<cy_bci_filter_stage> output_filter_stages(const filter_settings& settings);

// Why the library refuses to build that chain at `rate_hz` (its text), or
// empty when it builds.
std::string output_filter_refusal(const filter_settings& settings, double rate_hz);

// What output_filter applies, for a recording's prefilter field (at most 80
// characters): "HP:1Hz LP:40Hz N:50Hz (causal Butterworth, order 4 each;
// notch 48-52Hz)". Empty without filters.
std::string describe_output_filter(const filter_settings& settings);

// Filters a stream block by block for writing, causally: each block comes
// out as soon as it goes in, and the result does not depend on how the
// stream is cut into blocks. Columns other than the electrodes pass through
// unchanged, and so do filler rows for lost samples (the filter does not see
// them, see causal_filter).
class output_filter {
 public:
  output_filter(const filter_settings& settings, unsigned rate_hz,
                std::vector<std::size_t> electrode_signals);

  recording::sample_block push(const recording::sample_block& block);

 private:
  std::vector<std::size_t> electrodes_;
  causal_filter filter_;
  std::vector<double> filtered_;
};

}  // namespace calyra::filtering
