#include <cstddef>
#include <vector>

#include "detrend.h"
#include "spectrum.h"

namespace calyra::bciconnect {

namespace {

constexpr double grade_bad = 0.0;
constexpr double grade_noisy = 1.0;
constexpr double grade_good = 2.0;

// Spectrum bins, truncated from the frequency times the sample count (the
// count as given, not rounded down to even).
struct quality_bins {
  std::size_t line50;
  std::size_t line60;
  std::size_t band_begin;  // 5 Hz
  std::size_t band_end;    // 15 Hz, excluded

  // Only for sampling rates of 120 Hz and more: the indices then stay within
  // the spectrum, and the conversions cannot overflow.
  quality_bins(std::size_t n_samples, double sampling_rate) {
    const double n = static_cast<double>(n_samples);
    line50 = static_cast<std::size_t>((50 * n) / sampling_rate);
    line60 = static_cast<std::size_t>((60 * n) / sampling_rate);
    band_begin = static_cast<std::size_t>((5 * n) / sampling_rate);
    band_end = static_cast<std::size_t>((n * 15) / sampling_rate);
  }
};

bool amplitude_plausible(double range, double mad) {
  return range < 500 && mad > 1 && mad < 50;
}

// Both line-frequency bins below twice the mean 5-15 Hz magnitude. An empty
// band (0 / 0) or an all-zero one makes every comparison fail.
bool line_noise_low(const double* magnitude, const quality_bins& bins) {
  double band_sum = 0.0;
  for (std::size_t k = bins.band_begin; k < bins.band_end; ++k) {
    band_sum += magnitude[k];
  }
  const double band_mean = band_sum / static_cast<double>(bins.band_end - bins.band_begin);
  return magnitude[bins.line50] / band_mean < 2 && magnitude[bins.line60] / band_mean < 2;
}

}  // namespace

void signal_quality(const double* data, block_shape shape, double* quality,
                    double sampling_rate) {
  if (shape.n_channels == 0) {
    return;
  }
  std::vector<double> detrended(shape.size());
  detrend(data, shape, detrended.data());

  std::vector<double> lowest(shape.n_channels);
  std::vector<double> highest(shape.n_channels);
  std::vector<double> mad(shape.n_channels);
  min_max(detrended.data(), shape, lowest.data(), highest.data());
  median_absolute_deviation(detrended.data(), shape, mad.data());

  // The spectral test needs a spectrum (two samples or more) whose last bin
  // reaches 60 Hz. Below either, the amplitude test alone decides rather
  // than bins that were never written or lie past the spectrum's end; the
  // comparison is also false for a NaN rate.
  const bool spectral_test = shape.n_samples >= 2 && sampling_rate >= 120;
  std::vector<double> magnitude;
  const std::size_t n_bins = spectrum_bins(shape.n_samples);
  if (spectral_test) {
    magnitude.resize(shape.n_channels * n_bins);
    std::vector<double> phase(shape.n_channels * n_bins);
    fft(detrended.data(), shape, magnitude.data(), phase.data());
  }

  const quality_bins bins(shape.n_samples, spectral_test ? sampling_rate : 120.0);
  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    if (shape.n_samples == 0 || !amplitude_plausible(highest[ch] - lowest[ch], mad[ch])) {
      quality[ch] = grade_bad;
      continue;
    }
    quality[ch] = grade_noisy;
    if (spectral_test && line_noise_low(magnitude.data() + ch * n_bins, bins)) {
      quality[ch] = grade_good;
    }
  }
}

}  // namespace calyra::bciconnect
