#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "cybciconnect.h"
#include "test_signals.h"

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

double median_of(std::vector<double> x) {
  double out = -1;
  cy_bci_connect_median(x.data(), 1, x.size(), &out);
  return out;
}

TEST(Statistics, MedianAndMadOfSmallChannels) {
  EXPECT_EQ(median_of({3, 1, 2}), 2);
  EXPECT_EQ(median_of({4, 1, 3, 2}), 2.5);
  EXPECT_EQ(median_of({7.25}), 7.25);

  const std::vector<double> x = {1, 2, 3, 4, 100};
  double mad = -1;
  cy_bci_connect_mad(x.data(), 1, x.size(), &mad);
  EXPECT_EQ(mad, 1);
}

TEST(Statistics, MedianLeavesInputAndTreatsChannelsApart) {
  // Sorted, reversed and constant channels take the same route as any other.
  const std::size_t n = 100001;
  std::vector<double> block(3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    block[i] = static_cast<double>(i);
    block[n + i] = static_cast<double>(n - i);
    block[2 * n + i] = 4.0;
  }
  const std::vector<double> before = block;
  double out[3] = {};
  cy_bci_connect_median(block.data(), 3, n, out);
  EXPECT_EQ(out[0], 50000);
  EXPECT_EQ(out[1], 50001);
  EXPECT_EQ(out[2], 4);
  EXPECT_TRUE(bci_test::bitwise_equal(block, before));
}

TEST(Statistics, MinMaxNaNRules) {
  const std::vector<double> block = {nan_value, 1, -3, 2,   // NaN first: both NaN
                                     5, nan_value, -3, 2};  // NaN later: ignored
  double lo[2], hi[2];
  cy_bci_connect_minmax(block.data(), 2, 4, lo, hi);
  EXPECT_TRUE(std::isnan(lo[0]));
  EXPECT_TRUE(std::isnan(hi[0]));
  EXPECT_EQ(lo[1], -3);
  EXPECT_EQ(hi[1], 5);
}

TEST(Statistics, MeanAndPopulationStd) {
  const std::vector<double> block = {1, 2, 3, 4, 2, 2, 2, 2};
  double mean[2], sd[2];
  cy_bci_connect_mean(block.data(), 2, 4, mean);
  cy_bci_connect_std(block.data(), 2, 4, sd);
  EXPECT_EQ(mean[0], 2.5);
  EXPECT_EQ(sd[0], std::sqrt(1.25));
  EXPECT_EQ(sd[1], 0);

  std::vector<double> standardized(8);
  cy_bci_connect_standartize(block.data(), 2, 4, standardized.data());
  EXPECT_DOUBLE_EQ(standardized[0], -1.5 / std::sqrt(1.25));
  EXPECT_DOUBLE_EQ(standardized[3], 1.5 / std::sqrt(1.25));
  for (std::size_t i = 4; i < 8; ++i) {
    EXPECT_TRUE(std::isnan(standardized[i])) << "constant channel, sample " << i;
  }

  // Empty channels: 0 / 0.
  cy_bci_connect_mean(block.data(), 2, 0, mean);
  cy_bci_connect_std(block.data(), 2, 0, sd);
  EXPECT_TRUE(std::isnan(mean[0]) && std::isnan(mean[1]));
  EXPECT_TRUE(std::isnan(sd[0]) && std::isnan(sd[1]));
}

TEST(Statistics, EmptyChannelsLeaveOutputsUntouched) {
  const double data[1] = {1};
  double a[2] = {-7, -7}, b[2] = {-7, -7};
  cy_bci_connect_median(data, 2, 0, a);
  cy_bci_connect_mad(data, 2, 0, a);
  cy_bci_connect_minmax(data, 2, 0, a, b);
  cy_bci_connect_ewma(data, 2, 0, a, 0.5);
  cy_bci_connect_ewma_standartize(data, 2, 0, a, 0.5, 1e-3);
  EXPECT_EQ(a[0], -7);
  EXPECT_EQ(a[1], -7);
  EXPECT_EQ(b[0], -7);
  EXPECT_EQ(b[1], -7);
}

TEST(Statistics, EwmaMatchesItsWeightedMeanDefinition) {
  const std::size_t n = 300;
  const double alpha = 0.05;
  const std::vector<double> block =
      bci_test::concat({bci_test::noise(n, 10, 1), bci_test::noise(n, 3, 2)});
  std::vector<double> out(block.size());
  cy_bci_connect_ewma(block.data(), 2, n, out.data(), alpha);

  const double q = 1 - alpha;
  for (std::size_t ch = 0; ch < 2; ++ch) {
    // The average restarts with every channel.
    EXPECT_EQ(out[ch * n], block[ch * n]);
    for (std::size_t k = 0; k < n; k += 37) {
      double num = 0, den = 0;
      for (std::size_t j = 0; j <= k; ++j) {
        num += std::pow(q, j) * block[ch * n + k - j];
        den += std::pow(q, j);
      }
      EXPECT_NEAR(out[ch * n + k], num / den, 1e-10) << "channel " << ch << ", sample " << k;
    }
  }
}

TEST(Statistics, EwmaLimits) {
  const std::vector<double> x = {3, -1, 4, 1, -5, 9};
  std::vector<double> out(x.size());
  cy_bci_connect_ewma(x.data(), 1, x.size(), out.data(), 1.0);
  EXPECT_TRUE(bci_test::bitwise_equal(out, x));

  cy_bci_connect_ewma(x.data(), 1, x.size(), out.data(), 0.0);
  double sum = 0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    sum += x[k];
    EXPECT_DOUBLE_EQ(out[k], sum / static_cast<double>(k + 1));
  }
}

TEST(Statistics, EwmaStandardizationStartsEveryChannelAtZero) {
  const std::vector<double> block = {4, 9, -2, 7, 100, 90, 120, 80};
  std::vector<double> out(block.size());
  cy_bci_connect_ewma_standartize(block.data(), 2, 4, out.data(), 0.1, 1e-3);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[4], 0);
  // Second sample by hand: weights 0.9 and 1 in both averages, and the first
  // squared deviation is 0.
  const double mean = (0.9 * 4 + 9) / 1.9;
  const double spread = std::sqrt((0.9 * 0.0 + (9 - mean) * (9 - mean)) / 1.9);
  EXPECT_DOUBLE_EQ(out[1], (9 - mean) / spread);

  cy_bci_connect_ewma_standartize(block.data(), 2, 4, out.data(), 0.1, 0.0);
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_TRUE(std::isnan(out[4]));
}

TEST(Statistics, ElementWiseRoutinesWorkInPlace) {
  const std::size_t n = 257;
  const std::vector<double> block = bci_test::concat(
      {bci_test::noise(n, 4, 5), bci_test::noise(n, 40, 6), bci_test::noise(n, 0.5, 7)});

  using routine = void (*)(const double*, std::size_t, std::size_t, double*);
  const routine routines[] = {
      cy_bci_connect_demean,
      cy_bci_connect_standartize,
      [](const double* d, std::size_t c, std::size_t s, double* o) {
        cy_bci_connect_ewma(d, c, s, o, 0.2);
      },
      [](const double* d, std::size_t c, std::size_t s, double* o) {
        cy_bci_connect_ewma_standartize(d, c, s, o, 0.2, 1e-6);
      },
  };
  for (const routine r : routines) {
    std::vector<double> separate(block.size());
    r(block.data(), 3, n, separate.data());
    std::vector<double> in_place = block;
    r(in_place.data(), 3, n, in_place.data());
    EXPECT_TRUE(bci_test::bitwise_equal(separate, in_place));
  }
}

}  // namespace
