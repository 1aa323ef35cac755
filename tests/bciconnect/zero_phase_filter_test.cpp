#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "cybciconnect.h"
#include "test_signals.h"
#include "zero_phase_filter.h"

namespace {

using calyra::bciconnect::band_pass_filter;
using calyra::bciconnect::band_stop_filter;
using calyra::bciconnect::high_pass_filter;
using calyra::bciconnect::low_pass_filter;

// The filtering as first described, one channel after the other: forward
// pass, physical reversal, second forward pass from zero state, reversal
// back, with one offset whose sign alternates over every sample of the call.
void reference_filter(const Dsp::Cascade& cascade, std::vector<double>& block,
                      std::size_t n_channels, std::size_t n_samples) {
  const int stages = cascade.getNumStages();
  double nv = 1e-8;
  for (std::size_t ch = 0; ch < n_channels; ++ch) {
    double* x = block.data() + ch * n_samples;
    for (int pass = 0; pass < 2; ++pass) {
      double w1[4] = {}, w2[4] = {};
      for (std::size_t i = 0; i < n_samples; ++i) {
        nv = -nv;
        double in = x[i];
        for (int s = 0; s < stages; ++s) {
          const Dsp::Biquad& q = cascade[s];
          const double w = ((in - q.a1() * w1[s]) - q.a2() * w2[s]) + (s == 0 ? nv : 0.0);
          const double y = (q.b0() * w + q.b1() * w1[s]) + q.b2() * w2[s];
          w2[s] = w1[s];
          w1[s] = w;
          in = y;
        }
        x[i] = in;
      }
      std::reverse(x, x + n_samples);
    }
  }
}

template <class Filter, class... Frequencies>
void reference(std::vector<double>& block, std::size_t channels, std::size_t n, int order,
               Frequencies... frequencies) {
  Filter filter;
  filter.setup(order, 250.0, frequencies...);
  reference_filter(filter, block, channels, n);
}

using block_filter = void (*)(std::vector<double>&, std::size_t, std::size_t);

struct filter_case {
  const char* name;
  block_filter library;
  block_filter reference;
};

const filter_case filter_cases[] = {
    {"lowpass",
     [](std::vector<double>& b, std::size_t c, std::size_t n) {
       cy_bci_connect_filter_lowpass(b.data(), c, n, 250, 30);
     },
     [](std::vector<double>& b, std::size_t c, std::size_t n) {
       reference<low_pass_filter>(b, c, n, 5, 30.0);
     }},
    {"highpass",
     [](std::vector<double>& b, std::size_t c, std::size_t n) {
       cy_bci_connect_filter_highpass(b.data(), c, n, 250, 0.5);
     },
     [](std::vector<double>& b, std::size_t c, std::size_t n) {
       reference<high_pass_filter>(b, c, n, 5, 0.5);
     }},
    {"bandpass 1-40 Hz: centre 20.5, width 39",
     [](std::vector<double>& b, std::size_t c, std::size_t n) {
       cy_bci_connect_filter_bandpass(b.data(), c, n, 250, 1, 40);
     },
     [](std::vector<double>& b, std::size_t c, std::size_t n) {
       reference<band_pass_filter>(b, c, n, 4, 20.5, 39.0);
     }},
    {"notch",
     [](std::vector<double>& b, std::size_t c, std::size_t n) {
       cy_bci_connect_filter_notch(b.data(), c, n, 250, 50, 4);
     },
     [](std::vector<double>& b, std::size_t c, std::size_t n) {
       reference<band_stop_filter>(b, c, n, 4, 50.0, 4.0);
     }},
};

// 13 channels run as groups of four, then two, then one alone (or pairs and
// one alone without AVX); odd and even lengths start the second pass with
// either sign of the offset.
TEST(ZeroPhaseFilter, EveryLaneWidthMatchesThePlainDescriptionBitForBit) {
  for (const filter_case& c : filter_cases) {
    for (std::size_t n : {1u, 2u, 7u, 500u, 1001u}) {
      const std::size_t channels = 13;
      std::vector<double> block(channels * n);
      for (std::size_t ch = 0; ch < channels; ++ch) {
        const std::vector<double> x = bci_test::noise(n, 20.0 + static_cast<double>(ch),
                                                      static_cast<std::uint32_t>(ch * 31 + n));
        std::copy(x.begin(), x.end(), block.begin() + static_cast<std::ptrdiff_t>(ch * n));
      }
      std::vector<double> expected = block;
      c.reference(expected, channels, n);
      c.library(block, channels, n);
      EXPECT_TRUE(bci_test::bitwise_equal(block, expected)) << c.name << ", n = " << n;
    }
  }
}

TEST(ZeroPhaseFilter, LaneWidthsAgreeOnTinyValues) {
  // Values near the offset's size make the offset and the +0.0 of later
  // stages visible in the last bits. 11 channels leave remainders for every
  // width.
  const std::size_t channels = 11, n = 333;
  std::vector<double> block(channels * n);
  for (std::size_t i = 0; i < block.size(); ++i) {
    block[i] = (i % 5 == 0) ? -0.0 : 1e-9 * static_cast<double>(static_cast<int>(i % 17) - 8);
  }
  band_stop_filter filter;
  filter.setup(4, 250, 50, 4);
  using calyra::bciconnect::lane_width;
  std::vector<double> one = block;
  calyra::bciconnect::filter_zero_phase(filter, one.data(), channels, n, lane_width::one);
  for (lane_width width : {lane_width::two, lane_width::four}) {
    std::vector<double> wide = block;
    calyra::bciconnect::filter_zero_phase(filter, wide.data(), channels, n, width);
    EXPECT_TRUE(bci_test::bitwise_equal(one, wide)) << static_cast<int>(width) << " lanes";
  }
  if (calyra::bciconnect::widest_lane_width() != lane_width::four) {
    GTEST_SKIP() << "four lanes need AVX; they ran as two";
  }
}

}  // namespace
