#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "cybciconnect.h"
#include "test_signals.h"

namespace {

// Direct O(N^2) DFT bin k of x[0 .. n - 1].
std::complex<double> dft_bin(const double* x, std::size_t n, std::size_t k) {
  std::complex<double> sum = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const double angle = -2 * bci_test::pi * static_cast<double>(j * k % n) / static_cast<double>(n);
    sum += x[j] * std::polar(1.0, angle);
  }
  return sum;
}

TEST(Fft, MatchesTheDirectTransformForEvenAndOddLengths) {
  // Lengths with factors 2, 3, 5, 7, a larger prime, and the shortest one.
  for (std::size_t n_samples : {2u, 3u, 12u, 30u, 98u, 107u, 250u}) {
    const std::size_t channels = 2;
    const std::size_t n = n_samples & ~std::size_t{1};
    const std::size_t bins = n_samples / 2 + 1;
    const std::vector<double> block = bci_test::concat(
        {bci_test::noise(n_samples, 3, 1), bci_test::sine(n_samples, 7, 100, 2.0)});
    std::vector<double> magnitude(channels * bins), phase(channels * bins);
    cy_bci_connect_fft(block.data(), channels, n_samples, magnitude.data(), phase.data(), 100);

    for (std::size_t ch = 0; ch < channels; ++ch) {
      for (std::size_t k = 0; k < bins; ++k) {
        const std::complex<double> expected =
            dft_bin(block.data() + ch * n_samples, n, k) / static_cast<double>(n);
        const std::complex<double> actual =
            std::polar(magnitude[ch * bins + k], phase[ch * bins + k]);
        EXPECT_NEAR(std::abs(actual - expected), 0, 1e-12)
            << "n_samples = " << n_samples << ", channel " << ch << ", bin " << k;
        EXPECT_GE(magnitude[ch * bins + k], 0);
      }
    }
  }
}

TEST(Fft, ConstantChannelAndScaling) {
  const double ones[4] = {1, 1, 1, 1};
  double magnitude[3], phase[3];
  cy_bci_connect_fft(ones, 1, 4, magnitude, phase, 250);
  EXPECT_DOUBLE_EQ(magnitude[0], 1);
  EXPECT_EQ(magnitude[1], 0);
  EXPECT_EQ(magnitude[2], 0);
  EXPECT_EQ(phase[0], 0);

  // A sinusoid on a bin shows half its amplitude: no one-sided doubling.
  const std::vector<double> x = bci_test::sine(64, 8, 64, 3.0);
  std::vector<double> m(33), p(33);
  cy_bci_connect_fft(x.data(), 1, 64, m.data(), p.data(), 64);
  EXPECT_NEAR(m[8], 1.5, 1e-12);
  EXPECT_NEAR(p[8], -bci_test::pi / 2, 1e-12);
}

TEST(Fft, OddLengthSkipsTheLastSampleButNotTheChannelStride) {
  const double block[10] = {1, 2, 3, 4, 1000, 5, 5, 5, 5, -1000};
  const double sentinel = -123;
  std::vector<double> magnitude(8, sentinel), phase(8, sentinel);
  cy_bci_connect_fft(block, 2, 5, magnitude.data(), phase.data(), 250);
  EXPECT_DOUBLE_EQ(magnitude[0], 2.5);  // mean of 1..4
  EXPECT_DOUBLE_EQ(magnitude[3], 5);    // channel 1 starts at index 5
  EXPECT_EQ(magnitude[4], 0);
  EXPECT_EQ(magnitude[6], sentinel);  // three bins per channel, no more
  EXPECT_EQ(phase[6], sentinel);
}

TEST(Fft, FewerThanTwoSamplesWriteNothing) {
  const double x[2] = {4, 5};
  double magnitude[2] = {-1, -1}, phase[2] = {-1, -1};
  cy_bci_connect_fft(x, 2, 1, magnitude, phase, 250);
  cy_bci_connect_fft(x, 2, 0, magnitude, phase, 250);
  EXPECT_EQ(magnitude[0], -1);
  EXPECT_EQ(magnitude[1], -1);
  EXPECT_EQ(phase[0], -1);
}

}  // namespace
