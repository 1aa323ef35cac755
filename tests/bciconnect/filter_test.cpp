#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "cybciconnect.h"
#include "test_signals.h"

namespace {

using bci_test::measure_tone;
using bci_test::sine;

constexpr double rate = 250;
constexpr std::size_t length = 10000;
// Far enough from both ends for the start-up transients to have died out.
constexpr std::size_t edge = 2000;

// Gain and phase shift of the zero-phase filter at one frequency, from a
// sinusoid run through it.
bci_test::tone through(void (*filter)(std::vector<double>&), double frequency) {
  std::vector<double> x = sine(length, frequency, rate, 1.0, 0.3);
  filter(x);
  const bci_test::tone t = measure_tone(x, frequency, rate, edge, length - edge);
  return {t.amplitude, t.amplitude > 1e-6 ? std::remainder(t.phase - 0.3, 2 * bci_test::pi) : 0};
}

void lowpass(std::vector<double>& x) {
  cy_bci_connect_filter_lowpass(x.data(), 1, x.size(), rate, 30);
}
void highpass(std::vector<double>& x) {
  cy_bci_connect_filter_highpass(x.data(), 1, x.size(), rate, 5);
}
void bandpass(std::vector<double>& x) {
  cy_bci_connect_filter_bandpass(x.data(), 1, x.size(), rate, 8, 30);
}
void notch(std::vector<double>& x) {
  cy_bci_connect_filter_notch(x.data(), 1, x.size(), rate, 50, 4);
}

// Forward and backward square the design's magnitude: half power becomes a
// quarter power, 0.5 in amplitude (-6.02 dB), and no phase shift anywhere.
TEST(Filters, SinusoidsThroughEachFilter) {
  struct probe {
    const char* name;
    void (*filter)(std::vector<double>&);
    double frequency;
    double gain;
    double tolerance;
  };
  const probe probes[] = {
      {"lowpass pass band", lowpass, 10, 1.0, 1e-3},
      {"lowpass cut-off", lowpass, 30, 0.5, 1e-3},
      {"lowpass stop band", lowpass, 80, 0.0, 1e-4},
      {"highpass pass band", highpass, 40, 1.0, 1e-3},
      {"highpass cut-off", highpass, 5, 0.5, 1e-3},
      {"highpass stop band", highpass, 0.5, 0.0, 1e-4},
      {"bandpass centre", bandpass, 18.5, 1.0, 2e-3},
      {"bandpass lower edge", bandpass, 8, 0.5, 1e-3},
      {"bandpass upper edge", bandpass, 30, 0.5, 1e-3},
      {"bandpass below", bandpass, 1, 0.0, 1e-3},
      {"bandpass above", bandpass, 90, 0.0, 1e-3},
      {"notch centre", notch, 50, 0.0, 1e-4},
      {"notch edge", notch, 48, 0.5, 1e-2},
      {"notch below", notch, 10, 1.0, 1e-3},
      {"notch above", notch, 100, 1.0, 1e-3},
  };
  for (const probe& p : probes) {
    const bci_test::tone t = through(p.filter, p.frequency);
    EXPECT_NEAR(t.amplitude, p.gain, p.tolerance) << p.name;
    EXPECT_NEAR(t.phase, 0, 1e-3) << p.name;
  }
}

TEST(Filters, ConstantThroughLowPassHasTransientsOnlyAtTheEnds) {
  std::vector<double> x(2000, 7.0);
  cy_bci_connect_filter_lowpass(x.data(), 1, x.size(), rate, 10);
  EXPECT_NEAR(x[1000], 7.0, 1e-6);
  // Zero initial state in both passes: the ends start from nothing.
  EXPECT_GT(std::fabs(x.front() - 7.0), 0.1);
  EXPECT_GT(std::fabs(x.back() - 7.0), 0.1);
}

TEST(Filters, ChannelsComeOutAsIfFilteredAlone) {
  // Odd length: each channel alone starts with the same offset sign as it
  // does inside the block.
  const std::size_t n = 777, channels = 6;
  std::vector<std::vector<double>> alone;
  for (std::size_t ch = 0; ch < channels; ++ch) {
    alone.push_back(bci_test::noise(n, 10, static_cast<std::uint32_t>(100 + ch)));
  }
  std::vector<double> block = bci_test::concat(alone);
  cy_bci_connect_filter_bandpass(block.data(), channels, n, rate, 1, 40);
  for (std::size_t ch = 0; ch < channels; ++ch) {
    cy_bci_connect_filter_bandpass(alone[ch].data(), 1, n, rate, 1, 40);
    EXPECT_TRUE(bci_test::bitwise_equal(bci_test::channel_of(block, ch, n), alone[ch])) << ch;
  }
}

TEST(Filters, EmptyBlocksAreLeftAlone) {
  double x[2] = {1.5, -2.5};
  cy_bci_connect_filter_lowpass(x, 0, 2, rate, 30);
  cy_bci_connect_filter_highpass(x, 2, 0, rate, 1);
  cy_bci_connect_filter_bandpass(x, 0, 2, rate, 1, 40);
  cy_bci_connect_filter_notch(x, 2, 0, rate, 50, 4);
  EXPECT_EQ(x[0], 1.5);
  EXPECT_EQ(x[1], -2.5);
}

}  // namespace
