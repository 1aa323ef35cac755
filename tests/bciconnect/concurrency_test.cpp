#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "cybciconnect.h"
#include "test_signals.h"

namespace {

// Everything one thread computes from its own block.
struct results {
  std::vector<double> filtered;
  std::vector<double> detrended;
  std::vector<double> quality;
  std::vector<double> mad;
};

results process(const std::vector<double>& block, std::size_t channels, std::size_t n) {
  results r;
  r.filtered = block;
  // Each thread's own online filter object: objects share nothing.
  cy_bci_online_filter* online =
      cy_bci_online_filter_new(CY_BCI_FILTER_HIGHPASS, 2, 250, 0.5, 0, channels, nullptr);
  cy_bci_online_filter_reset(online, CY_BCI_FILTER_INITIAL_STEADY);
  cy_bci_online_filter_process(online, r.filtered.data(), n, r.filtered.data());
  cy_bci_online_filter_free(online);
  cy_bci_connect_filter_bandpass(r.filtered.data(), channels, n, 250, 1, 40);
  cy_bci_connect_filter_notch(r.filtered.data(), channels, n, 250, 50, 4);
  r.detrended.resize(block.size());
  cy_bci_connect_detrend(block.data(), channels, n, r.detrended.data());
  r.quality.resize(channels);
  cy_bci_connect_get_signal_quality(block.data(), channels, n, r.quality.data(), 250);
  r.mad.resize(channels);
  cy_bci_connect_mad(block.data(), channels, n, r.mad.data());
  return r;
}

// The library keeps no state between calls: threads working at the same time
// get exactly what each would get alone.
TEST(Concurrency, SimultaneousCallsMatchSequentialOnes) {
  const std::size_t channels = 5, n = 1000, threads = 4;
  std::vector<std::vector<double>> blocks;
  std::vector<results> expected;
  for (std::size_t t = 0; t < threads; ++t) {
    blocks.push_back(bci_test::noise(channels * n, 10, static_cast<std::uint32_t>(t + 1)));
    expected.push_back(process(blocks[t], channels, n));
  }

  std::vector<results> actual(threads);
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        actual[t] = process(blocks[t], channels, n);
      }
    });
  }
  for (std::thread& w : workers) {
    w.join();
  }
  for (std::size_t t = 0; t < threads; ++t) {
    EXPECT_TRUE(bci_test::bitwise_equal(actual[t].filtered, expected[t].filtered)) << t;
    EXPECT_TRUE(bci_test::bitwise_equal(actual[t].detrended, expected[t].detrended)) << t;
    EXPECT_TRUE(bci_test::bitwise_equal(actual[t].quality, expected[t].quality)) << t;
    EXPECT_TRUE(bci_test::bitwise_equal(actual[t].mad, expected[t].mad)) << t;
  }
}

}  // namespace
