#include "view/display_filter.h"

#include <cmath>
#include <stdexcept>

namespace calyra::view {
namespace {

constexpr int order = 2;

}  // namespace

display_filter::display_filter(std::size_t channels, double rate_hz) : channels_(channels) {
  try {
    filter_.emplace(std::vector<cy_bci_filter_stage>{{CY_BCI_FILTER_BANDPASS, order, 1.0, 40.0},
                                                    {CY_BCI_FILTER_BANDSTOP, order, 48.0, 52.0},
                                                    {CY_BCI_FILTER_BANDSTOP, order, 58.0, 62.0}},
                    rate_hz, channels);
  } catch (const std::invalid_argument&) {
    // The headsets stream at 250 or 500 Hz; below 124 Hz nothing is filtered.
  }
}

void display_filter::process(const display_rows& rows, std::vector<double>& out) {
  const std::size_t n = rows.size();
  std::vector<const double*> columns;
  for (std::size_t ch = 0; ch < channels_; ++ch) columns.push_back(rows.channels[ch].data());
  if (filter_) {
    filter_->process(columns, rows.streaming.data(), n, out);
  } else {
    out.resize(channels_ * n);
  }
  for (std::size_t ch = 0; ch < channels_; ++ch) {
    for (std::size_t i = 0; i < n; ++i) {
      const double v = columns[ch][i];
      if (!filter_ || !std::isfinite(v)) out[ch * n + i] = v;
    }
  }
}

}  // namespace calyra::view
