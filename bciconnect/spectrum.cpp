#include "spectrum.h"

#include <cmath>
#include <complex>
#include <vector>

#include <kissfft/kissfft.hh>

namespace calyra::bciconnect {

void fft(const double* data, block_shape shape, double* magnitude, double* phase) {
  // The transform length is even: an odd channel's last sample is left out.
  const std::size_t n = shape.n_samples & ~std::size_t{1};
  if (n == 0) {
    return;
  }
  const std::size_t bins = spectrum_bins(shape.n_samples);
  const double length = static_cast<double>(n);

  // A real transform of n points runs as a complex one of n / 2 points; its
  // first output packs DC in the real part and Nyquist in the imaginary part.
  const kissfft<double> transform(n / 2, false);
  std::vector<std::complex<double>> work(n / 2);

  for (std::size_t ch = 0; ch < shape.n_channels; ++ch) {
    transform.transform_real(data + ch * shape.n_samples, work.data());
    double* channel_magnitude = magnitude + ch * bins;
    double* channel_phase = phase + ch * bins;
    for (std::size_t k = 0; k < bins; ++k) {
      std::complex<double> bin;
      if (k == 0) {
        bin = {work[0].real(), 0.0};
      } else if (k == n / 2) {
        bin = {work[0].imag(), 0.0};
      } else {
        bin = work[k];
      }
      const double re = bin.real();
      const double im = bin.imag();
      channel_magnitude[k] = std::sqrt(re * re + im * im) / length;
      channel_phase[k] = std::atan2(im, re);
    }
  }
}

}  // namespace calyra::bciconnect
