#include "quality/signal_filters.h"

#include <cybciconnect.h>

#include <algorithm>

namespace calyra::quality {

void apply_filters(double* data, std::size_t n_channels, std::size_t n_samples, double rate_hz,
                   const filter_settings& settings) {
  if (!settings.any() || n_channels == 0 || n_samples == 0) return;
  std::vector<double> means(n_channels);
  cy_bci_connect_mean(data, n_channels, n_samples, means.data());
  for (std::size_t ch = 0; ch < n_channels; ++ch) {
    double* channel = data + ch * n_samples;
    for (std::size_t i = 0; i < n_samples; ++i) channel[i] -= means[ch];
  }
  if (settings.bandpass) {
    cy_bci_connect_filter_bandpass(data, n_channels, n_samples, rate_hz, settings.bandpass->low_hz,
                                   settings.bandpass->high_hz);
  }
  if (settings.notch_hz > 0.0) {
    cy_bci_connect_filter_notch(data, n_channels, n_samples, rate_hz, settings.notch_hz,
                                notch_width_hz);
  }
  if (!settings.bandpass) {
    for (std::size_t ch = 0; ch < n_channels; ++ch) {
      double* channel = data + ch * n_samples;
      for (std::size_t i = 0; i < n_samples; ++i) channel[i] += means[ch];
    }
  }
}

output_filter::output_filter(const filter_settings& settings, unsigned rate_hz,
                             std::vector<std::size_t> electrode_signals, std::size_t signal_count)
    : settings_(settings),
      rate_(rate_hz > 0 ? rate_hz : 1),
      electrodes_(std::move(electrode_signals)),
      signal_count_(signal_count),
      left_context_(electrodes_.size()) {
  pending_.reset(signal_count_);
}

recording::sample_block output_filter::filter_front(std::size_t rows) {
  // Window: left context, the rows to release, and whatever follows them.
  const std::size_t left = left_context_.empty() ? 0 : left_context_.front().size();
  const std::size_t right = std::min(pending_.size() - rows, rate_);
  const std::size_t length = left + rows + right;
  std::vector<double> window(electrodes_.size() * length);
  for (std::size_t e = 0; e < electrodes_.size(); ++e) {
    double* row = window.data() + e * length;
    std::copy(left_context_[e].begin(), left_context_[e].end(), row);
    const auto& column = pending_.signals[electrodes_[e]];
    std::copy(column.begin(), column.begin() + static_cast<std::ptrdiff_t>(rows + right), row + left);
  }
  apply_filters(window.data(), electrodes_.size(), length, static_cast<double>(rate_), settings_);

  recording::sample_block ready;
  ready.reset(signal_count_);
  ready.append(pending_, 0, rows);
  for (std::size_t e = 0; e < electrodes_.size(); ++e) {
    const double* filtered = window.data() + e * length + left;
    std::copy(filtered, filtered + rows, ready.signals[electrodes_[e]].begin());
    // The raw values become the next block's left context (one second).
    auto& context = left_context_[e];
    const auto& column = pending_.signals[electrodes_[e]];
    context.insert(context.end(), column.begin(), column.begin() + static_cast<std::ptrdiff_t>(rows));
    if (context.size() > rate_) {
      context.erase(context.begin(), context.end() - static_cast<std::ptrdiff_t>(rate_));
    }
  }
  recording::sample_block rest;
  rest.reset(signal_count_);
  rest.append(pending_, rows, pending_.size() - rows);
  pending_ = std::move(rest);
  return ready;
}

recording::sample_block output_filter::push(const recording::sample_block& block) {
  pending_.append(block, 0, block.size());
  recording::sample_block ready;
  ready.reset(signal_count_);
  // Release one second at a time once the second after it has arrived.
  while (pending_.size() >= 2 * rate_) {
    const recording::sample_block part = filter_front(rate_);
    ready.append(part, 0, part.size());
  }
  return ready;
}

recording::sample_block output_filter::finish() {
  if (pending_.empty()) {
    recording::sample_block none;
    none.reset(signal_count_);
    return none;
  }
  return filter_front(pending_.size());
}

}  // namespace calyra::quality
