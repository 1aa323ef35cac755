#include "filtering/causal_filter.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace calyra::filtering {

causal_filter::causal_filter(const std::vector<cy_bci_filter_stage>& stages, double rate_hz,
                             std::size_t channels)
    : last_(channels, 0.0), seen_(channels, false) {
  // Without channels there is nothing to filter, but the designs are still
  // checked.
  channels = std::max<std::size_t>(channels, 1);
  cy_bci_filter_error error = CY_BCI_FILTER_OK;
  filter_.reset(cy_bci_online_filter_new_chain(stages.data(), stages.size(), rate_hz, channels, &error));
  if (!filter_) throw std::invalid_argument(cy_bci_online_filter_error_text(error));
  cy_bci_online_filter_reset(filter_.get(), CY_BCI_FILTER_INITIAL_STEADY);
}

void causal_filter::process(const std::vector<const double*>& columns, const std::uint8_t* streaming,
                            std::size_t n, std::vector<double>& out) {
  const std::size_t channels = last_.size();
  out.resize(channels * n);
  if (n == 0 || channels == 0) return;
  for (std::size_t ch = 0; ch < channels; ++ch) {
    double* row = out.data() + ch * n;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = columns[ch][i];
      if (streaming[i] != 0 && std::isfinite(v)) {
        last_[ch] = v;
        seen_[ch] = true;
      }
      // Before the first real sample there is nothing to hold: 0 stands in.
      row[i] = seen_[ch] ? last_[ch] : 0.0;
    }
  }
  cy_bci_online_filter_process(filter_.get(), out.data(), n, out.data());
}

}  // namespace calyra::filtering
