#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "cybciconnect.h"
#include "test_signals.h"

namespace {

// Closed-form least-squares line over t = 0 .. n - 1.
struct line {
  double slope;
  double offset;
};

line least_squares(const std::vector<double>& y) {
  const double n = static_cast<double>(y.size());
  double st = 0, sy = 0, stt = 0, sty = 0;
  for (std::size_t t = 0; t < y.size(); ++t) {
    const double tt = static_cast<double>(t);
    st += tt;
    sy += y[t];
    stt += tt * tt;
    sty += tt * y[t];
  }
  const double slope = (n * sty - st * sy) / (n * stt - st * st);
  return {slope, (sy - slope * st) / n};
}

std::vector<double> detrended(const std::vector<double>& y) {
  std::vector<double> out(y.size());
  cy_bci_connect_detrend(y.data(), 1, y.size(), out.data());
  return out;
}

TEST(Detrend, RemovesTheLeastSquaresLineWhereTheSolverConverges) {
  // Starting from slope 1 and the first samples' mean, a short channel whose
  // line lies close by is reached within the solver's budget.
  for (std::size_t n : {2u, 10u, 21u, 100u}) {
    std::vector<double> y = bci_test::noise(n, 1.0, static_cast<std::uint32_t>(n));
    for (std::size_t t = 0; t < n; ++t) {
      y[t] += 3.0 + 0.9 * static_cast<double>(t);
    }
    const line fit = least_squares(y);
    const std::vector<double> out = detrended(y);
    for (std::size_t t = 0; t < n; ++t) {
      const double expected = y[t] - (fit.offset + fit.slope * static_cast<double>(t));
      EXPECT_NEAR(out[t], expected, 1e-6) << "n = " << n << ", t = " << t;
    }
  }
}

TEST(Detrend, ExactLinesAndSingleSamplesComeOutZero) {
  EXPECT_EQ(detrended({42.5})[0], 0);
  // Slope 1 through the first sample: the starting point is already the fit.
  const std::vector<double> out = detrended({5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
  for (double v : out) {
    EXPECT_EQ(v, 0);
  }
}

TEST(Detrend, FarOffsetIsOnlyPartlyRemoved) {
  // The first 5 % sit several hundred units above the rest: the trust region
  // starts at radius 1 and five steps do not reach the least-squares line.
  const std::size_t n = 1000;
  std::vector<double> y = bci_test::noise(n, 1.0, 9);
  for (std::size_t t = 0; t < 50; ++t) {
    y[t] += 800;
  }
  const line fit = least_squares(y);
  const std::vector<double> out = detrended(y);
  double worst = 0;
  for (std::size_t t = 0; t < n; ++t) {
    ASSERT_TRUE(std::isfinite(out[t]));
    const double closed_form = y[t] - (fit.offset + fit.slope * static_cast<double>(t));
    worst = std::max(worst, std::fabs(out[t] - closed_form));
  }
  EXPECT_GT(worst, 10);
}

TEST(Detrend, ChannelsAreIndependentAndNonFiniteValuesPoisonOnlyTheirChannel) {
  const std::size_t n = 64;
  std::vector<double> a = bci_test::noise(n, 2, 1);
  std::vector<double> b = bci_test::noise(n, 2, 2);
  std::vector<double> c = bci_test::noise(n, 2, 3);
  std::vector<double> d = bci_test::noise(n, 2, 4);
  b[17] = std::numeric_limits<double>::quiet_NaN();
  d[40] = -std::numeric_limits<double>::infinity();
  const std::vector<double> block = bci_test::concat({a, b, c, d});
  std::vector<double> out(block.size());
  cy_bci_connect_detrend(block.data(), 4, n, out.data());

  EXPECT_TRUE(bci_test::bitwise_equal(bci_test::channel_of(out, 0, n), detrended(a)));
  EXPECT_TRUE(bci_test::bitwise_equal(bci_test::channel_of(out, 2, n), detrended(c)));
  for (std::size_t t = 0; t < n; ++t) {
    EXPECT_FALSE(std::isfinite(out[n + t])) << t;
    EXPECT_FALSE(std::isfinite(out[3 * n + t])) << t;
  }

  std::vector<double> in_place = block;
  cy_bci_connect_detrend(in_place.data(), 4, n, in_place.data());
  EXPECT_TRUE(bci_test::bitwise_equal(in_place, out));
}

}  // namespace
