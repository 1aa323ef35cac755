#include "filtering/signal_filters.h"

#include <cybciconnect.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace calyra::filtering {

// Used by the quality monitor only: it grades whole windows afresh every
// second and needs no continuity between them, and zero phase keeps the
// window's waveform where it is. What is shown live and what is written go
// through the causal filters instead.
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

std::vector<cy_bci_filter_stage> output_filter_stages(const filter_settings& settings) {
  std::vector<cy_bci_filter_stage> stages;
  if (settings.bandpass) {
    stages.push_back({CY_BCI_FILTER_BANDPASS, output_filter_order, settings.bandpass->low_hz,
                     settings.bandpass->high_hz});
  }
  if (settings.notch_hz > 0.0) {
    stages.push_back({CY_BCI_FILTER_BANDSTOP, output_filter_order,
                     settings.notch_hz - notch_width_hz / 2, settings.notch_hz + notch_width_hz / 2});
  }
  return stages;
}

std::string output_filter_refusal(const filter_settings& settings, double rate_hz) {
  try {
    const causal_filter trial(output_filter_stages(settings), rate_hz, 1);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return {};
}

std::string describe_output_filter(const filter_settings& settings) {
  if (!settings.any()) return {};
  std::ostringstream text;
  // "HP:", "LP:" and "N:" are the fields readers of the header pick up.
  if (settings.bandpass) text << "HP:" << settings.bandpass->low_hz << "Hz LP:" << settings.bandpass->high_hz << "Hz ";
  if (settings.notch_hz > 0.0) text << "N:" << settings.notch_hz << "Hz ";
  text << "(causal Butterworth, order " << output_filter_order;
  if (settings.bandpass && settings.notch_hz > 0.0) text << " each";
  if (settings.notch_hz > 0.0) {
    text << "; notch " << settings.notch_hz - notch_width_hz / 2 << '-' << settings.notch_hz + notch_width_hz / 2
         << "Hz";
  }
  text << ')';
  return text.str();
}

output_filter::output_filter(const filter_settings& settings, unsigned rate_hz,
                             std::vector<std::size_t> electrode_signals)
    : electrodes_(std::move(electrode_signals)),
      filter_(output_filter_stages(settings), static_cast<double>(rate_hz), electrodes_.size()) {}

recording::sample_block output_filter::push(const recording::sample_block& block) {
  recording::sample_block out = block;
  const std::size_t n = block.size();
  std::vector<const double*> columns;
  for (const std::size_t signal : electrodes_) columns.push_back(block.signals[signal].data());
  filter_.process(columns, block.streaming.data(), n, filtered_);
  for (std::size_t e = 0; e < electrodes_.size(); ++e) {
    std::vector<double>& column = out.signals[electrodes_[e]];
    for (std::size_t i = 0; i < n; ++i) {
      if (block.streaming[i] != 0) column[i] = filtered_[e * n + i];
    }
  }
  return out;
}

}  // namespace calyra::filtering
