#include "quality/quality_monitor.h"

#include "filtering/signal_filters.h"

#include <cybciconnect.h>

#include <algorithm>

namespace calyra::quality {
namespace {

// The amplitude limits of the grade, in microvolts.
constexpr double max_range = 500.0;
constexpr double min_mad = 1.0;
constexpr double max_line_ratio = 2.0;

constexpr std::size_t window_seconds = 2;
// With filters on, one more second in front absorbs the filter's start-up.
constexpr std::size_t filter_lead_seconds = 1;

std::size_t bin(double hz, std::size_t n_samples, double rate_hz) {
  return static_cast<std::size_t>(hz * static_cast<double>(n_samples) / rate_hz);
}

std::string spectral_reason(const double* magnitude, std::size_t bins, std::size_t n_samples,
                            double rate_hz) {
  const std::size_t i5 = bin(5.0, n_samples, rate_hz);
  const std::size_t i15 = bin(15.0, n_samples, rate_hz);
  const std::size_t i50 = bin(50.0, n_samples, rate_hz);
  const std::size_t i60 = bin(60.0, n_samples, rate_hz);
  double band = 0.0;
  for (std::size_t k = i5; k < i15 && k < bins; ++k) band += magnitude[k];
  const double mean = i15 > i5 ? band / static_cast<double>(i15 - i5) : 0.0;
  if (!(mean > 0.0)) return "no 5-15 Hz activity";
  const bool hum50 = i50 < bins && !(magnitude[i50] / mean < max_line_ratio);
  const bool hum60 = i60 < bins && !(magnitude[i60] / mean < max_line_ratio);
  if (hum50 && hum60) return "mains 50/60 Hz";
  if (hum50) return "mains 50 Hz";
  if (hum60) return "mains 60 Hz";
  return {};
}

}  // namespace

std::string grade_word(int grade) {
  switch (grade) {
    case 0: return "bad";
    case 1: return "noisy";
    case 2: return "good";
    default: return "-";
  }
}

std::vector<electrode_quality> grade_window(const double* data, std::size_t n_channels,
                                            std::size_t n_samples, double rate_hz) {
  std::vector<electrode_quality> result(n_channels);
  if (n_channels == 0 || n_samples < 2) return result;

  std::vector<double> grades(n_channels);
  cy_bci_connect_get_signal_quality(data, n_channels, n_samples, grades.data(), rate_hz);

  // The same statistics the grade is built from, for the reason.
  std::vector<double> detrended(n_channels * n_samples);
  cy_bci_connect_detrend(data, n_channels, n_samples, detrended.data());
  std::vector<double> low(n_channels), high(n_channels), mad(n_channels);
  cy_bci_connect_minmax(detrended.data(), n_channels, n_samples, low.data(), high.data());
  cy_bci_connect_mad(detrended.data(), n_channels, n_samples, mad.data());
  const std::size_t bins = n_samples / 2 + 1;
  std::vector<double> magnitude(n_channels * bins), phase(n_channels * bins);
  cy_bci_connect_fft(detrended.data(), n_channels, n_samples, magnitude.data(), phase.data(), rate_hz);

  for (std::size_t ch = 0; ch < n_channels; ++ch) {
    electrode_quality& q = result[ch];
    q.grade = static_cast<int>(grades[ch]);
    if (q.grade == 0) {
      if (!(high[ch] - low[ch] < max_range)) {
        q.reason = "range too large";
      } else if (!(mad[ch] > min_mad)) {
        q.reason = "flat";
      } else {
        q.reason = "too noisy";
      }
    } else if (q.grade == 1) {
      q.reason = spectral_reason(magnitude.data() + ch * bins, bins, n_samples, rate_hz);
      if (q.reason.empty()) q.reason = "noisy";
    }
  }
  return result;
}

quality_monitor::quality_monitor(std::vector<std::size_t> electrode_signals, unsigned rate_hz,
                                 const filtering::filter_settings& filters)
    : electrodes_(std::move(electrode_signals)),
      rate_(rate_hz > 0 ? rate_hz : 1),
      filters_(filters),
      history_(electrodes_.size()),
      latest_(electrodes_.size()) {}

void quality_monitor::add(const recording::sample_block& block) {
  const std::size_t keep = (window_seconds + (filters_.any() ? filter_lead_seconds : 0)) * rate_;
  for (std::size_t e = 0; e < electrodes_.size(); ++e) {
    auto& h = history_[e];
    const auto& column = block.signals[electrodes_[e]];
    h.insert(h.end(), column.begin(), column.end());
    // Trim in steps of a second, not per block, to keep the copying rare.
    if (h.size() > keep + rate_) h.erase(h.begin(), h.end() - static_cast<std::ptrdiff_t>(keep));
  }
  new_samples_ += block.size();
}

const std::vector<electrode_quality>& quality_monitor::evaluate() {
  new_samples_ = 0;
  // Under a second the spectrum cannot tell mains hum from the 5-15 Hz band:
  // such a window would be graded "good" whatever its hum. No grade yet.
  if (electrodes_.empty() || history_.front().size() < rate_) return latest_;
  const std::size_t available = history_.front().size();
  const std::size_t window = std::min(available, window_seconds * rate_);
  const std::size_t length = filters_.any()
                                 ? std::min(available, (window_seconds + filter_lead_seconds) * rate_)
                                 : window;
  std::vector<double> block(electrodes_.size() * length);
  for (std::size_t e = 0; e < electrodes_.size(); ++e) {
    std::copy(history_[e].end() - static_cast<std::ptrdiff_t>(length), history_[e].end(),
              block.begin() + static_cast<std::ptrdiff_t>(e * length));
  }
  // Zero phase over the whole window: each grade looks at its own two
  // seconds afresh, so nothing needs to carry over from the last window,
  // and the lead second absorbs the start-up at the window's front.
  filtering::apply_filters(block.data(), electrodes_.size(), length, static_cast<double>(rate_), filters_);
  if (length != window) {
    // Keep only the last `window` samples of each filtered channel.
    std::vector<double> tail(electrodes_.size() * window);
    for (std::size_t e = 0; e < electrodes_.size(); ++e) {
      std::copy(block.begin() + static_cast<std::ptrdiff_t>(e * length + length - window),
                block.begin() + static_cast<std::ptrdiff_t>((e + 1) * length),
                tail.begin() + static_cast<std::ptrdiff_t>(e * window));
    }
    block = std::move(tail);
  }
  latest_ = grade_window(block.data(), electrodes_.size(), window, static_cast<double>(rate_));
  return latest_;
}

}  // namespace calyra::quality
