// One-sided amplitude and phase spectra, and the per-channel quality grade
// built on them.
#pragma once

#include "statistics.h"

namespace calyra::bciconnect {

// Bins per channel in a spectrum of n_samples samples.
inline std::size_t spectrum_bins(std::size_t n_samples) {
  return n_samples / 2 + 1;
}

// Real FFT over the first (n_samples rounded down to even) samples of every
// channel: |X_k| / N into magnitude, atan2(im, re) into phase, each holding
// n_channels rows of spectrum_bins(n_samples). Writes nothing below two
// samples.
void fft(const double* data, block_shape shape, double* magnitude, double* phase);

// 0 (implausible amplitude), 1 (plausible, line noise or no usable band),
// 2 (plausible and clean) per channel.
void signal_quality(const double* data, block_shape shape, double* quality,
                    double sampling_rate);

}  // namespace calyra::bciconnect
