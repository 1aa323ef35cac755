// The online filters through the public API: chunking, in place, steady
// start, chains and argument checks. Agreement with SciPy's sosfilt is
// checked from Python (python/tests/test_signal.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cybciconnect.h"
#include "test_signals.h"

namespace {

struct filter_deleter {
  void operator()(cy_bci_online_filter* f) const { cy_bci_online_filter_free(f); }
};
using filter_ptr = std::unique_ptr<cy_bci_online_filter, filter_deleter>;

filter_ptr make(cy_bci_filter_kind kind, int order, double rate, double f1, double f2,
                std::size_t channels) {
  cy_bci_filter_error error = CY_BCI_FILTER_NO_MEMORY;
  filter_ptr f(cy_bci_online_filter_new(kind, order, rate, f1, f2, channels, &error));
  EXPECT_EQ(error, CY_BCI_FILTER_OK) << cy_bci_online_filter_error_text(error);
  return f;
}

// Feeds a channel-major block through `f` in chunks of the given lengths
// (cycled), each chunk copied out to its own channel-major buffer.
std::vector<double> run_chunked(cy_bci_online_filter* f, const std::vector<double>& block,
                                std::size_t channels, const std::vector<std::size_t>& lengths) {
  const std::size_t n = block.size() / channels;
  std::vector<double> out(block.size());
  std::size_t first = 0;
  for (std::size_t i = 0; first < n; ++i) {
    const std::size_t len = std::min(lengths[i % lengths.size()], n - first);
    std::vector<double> in(channels * len), part(channels * len);
    for (std::size_t ch = 0; ch < channels; ++ch) {
      std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(ch * n + first), len,
                  in.begin() + static_cast<std::ptrdiff_t>(ch * len));
    }
    cy_bci_online_filter_process(f, in.data(), len, part.data());
    for (std::size_t ch = 0; ch < channels; ++ch) {
      std::copy_n(part.begin() + static_cast<std::ptrdiff_t>(ch * len), len,
                  out.begin() + static_cast<std::ptrdiff_t>(ch * n + first));
    }
    first += len;
  }
  return out;
}

// Seven channels: one group of four lanes, one of two and a single one.
constexpr std::size_t channels = 7;
constexpr std::size_t samples = 1500;

std::vector<double> eeg() {
  std::vector<double> block = bci_test::noise(channels * samples, 10, 11);
  for (std::size_t ch = 0; ch < channels; ++ch) {
    const auto alpha = bci_test::sine(samples, 10, 250, 20, static_cast<double>(ch));
    for (std::size_t i = 0; i < samples; ++i) {
      block[ch * samples + i] += alpha[i] + 3000.0 * static_cast<double>(ch);
    }
  }
  return block;
}

// Whatever the chunking, in place or not, each channel comes out bit for bit
// as the whole signal filtered in one call.
TEST(OnlineFilter, ChunkingAndInPlaceGiveTheSameBits) {
  const std::vector<double> block = eeg();
  for (const cy_bci_filter_initial initial :
       {CY_BCI_FILTER_INITIAL_ZERO, CY_BCI_FILTER_INITIAL_STEADY}) {
    const filter_ptr whole = make(CY_BCI_FILTER_BANDPASS, 4, 250, 1, 40, channels);
    ASSERT_EQ(cy_bci_online_filter_reset(whole.get(), initial), CY_BCI_FILTER_OK);
    std::vector<double> expected(block.size());
    cy_bci_online_filter_process(whole.get(), block.data(), samples, expected.data());

    std::mt19937 engine(5);
    std::vector<std::size_t> random_lengths;
    for (int i = 0; i < 200; ++i) random_lengths.push_back(engine() % 40);  // zeros included
    for (const auto& lengths : std::vector<std::vector<std::size_t>>{{1}, {7}, {250}, random_lengths}) {
      const filter_ptr f = make(CY_BCI_FILTER_BANDPASS, 4, 250, 1, 40, channels);
      cy_bci_online_filter_reset(f.get(), initial);
      EXPECT_TRUE(bci_test::bitwise_equal(run_chunked(f.get(), block, channels, lengths), expected))
          << lengths.size() << " lengths from " << lengths[0];
    }

    const filter_ptr in_place = make(CY_BCI_FILTER_BANDPASS, 4, 250, 1, 40, channels);
    cy_bci_online_filter_reset(in_place.get(), initial);
    std::vector<double> data = block;
    cy_bci_online_filter_process(in_place.get(), data.data(), samples, data.data());
    EXPECT_TRUE(bci_test::bitwise_equal(data, expected));
    for (std::size_t ch = 0; ch < channels; ++ch) {
      const filter_ptr alone = make(CY_BCI_FILTER_BANDPASS, 4, 250, 1, 40, 1);
      cy_bci_online_filter_reset(alone.get(), initial);
      std::vector<double> channel = bci_test::channel_of(block, ch, samples);
      cy_bci_online_filter_process(alone.get(), channel.data(), samples, channel.data());
      EXPECT_TRUE(bci_test::bitwise_equal(channel, bci_test::channel_of(expected, ch, samples))) << ch;
    }
  }
}

// An electrode offset of 50 mV: from the steady state it does not ring at
// all, from zero state it rings for seconds.
TEST(OnlineFilter, SteadyStartTakesTheOffsetWithoutRinging) {
  const double offset = 50000.0;
  const std::vector<double> flat(2 * 250, offset);
  const filter_ptr f = make(CY_BCI_FILTER_BANDPASS, 4, 250, 1, 40, 1);
  std::vector<double> out(flat.size());
  cy_bci_online_filter_process(f.get(), flat.data(), flat.size(), out.data());
  EXPECT_GT(std::abs(out[400]), 100.0);  // zero state: still ringing after 1.6 s

  ASSERT_EQ(cy_bci_online_filter_reset(f.get(), CY_BCI_FILTER_INITIAL_STEADY), CY_BCI_FILTER_OK);
  cy_bci_online_filter_process(f.get(), flat.data(), 0, out.data());  // stays pending
  cy_bci_online_filter_process(f.get(), flat.data(), flat.size(), out.data());
  for (const double y : out) ASSERT_LT(std::abs(y), 1e-8);

  // A low-pass passes the offset itself from the first sample on.
  const filter_ptr low = make(CY_BCI_FILTER_LOWPASS, 5, 250, 30, 0, 1);
  cy_bci_online_filter_reset(low.get(), CY_BCI_FILTER_INITIAL_STEADY);
  cy_bci_online_filter_process(low.get(), flat.data(), flat.size(), out.data());
  for (const double y : out) ASSERT_NEAR(y, offset, 1e-8);

  // Reset to zero forgets everything: the first call again.
  std::vector<double> again(flat.size());
  cy_bci_online_filter_reset(f.get(), CY_BCI_FILTER_INITIAL_ZERO);
  cy_bci_online_filter_process(f.get(), flat.data(), flat.size(), again.data());
  EXPECT_GT(std::abs(again[400]), 100.0);
}

// A chain is its filters one after the other; an odd-order high-pass keeps
// the signal's sign (its gain at the Nyquist frequency is +1).
TEST(OnlineFilter, ChainEqualsItsFiltersInTurnAndHighPassKeepsTheSign) {
  const std::vector<double> block = eeg();
  const cy_bci_filter_stage stages[] = {{CY_BCI_FILTER_BANDPASS, 4, 1, 40},
                                      {CY_BCI_FILTER_BANDSTOP, 2, 48, 52},
                                      {CY_BCI_FILTER_BANDSTOP, 2, 98, 102},
                                      {CY_BCI_FILTER_HIGHPASS, 3, 0.5, 0}};
  cy_bci_filter_error error = CY_BCI_FILTER_NO_MEMORY;
  const filter_ptr chain(cy_bci_online_filter_new_chain(stages, 4, 250, channels, &error));
  ASSERT_EQ(error, CY_BCI_FILTER_OK);
  EXPECT_EQ(cy_bci_online_filter_sections(chain.get()), 4U + 2U + 2U + 2U);
  EXPECT_EQ(cy_bci_online_filter_channels(chain.get()), channels);
  std::vector<double> chained(block.size());
  cy_bci_online_filter_process(chain.get(), block.data(), samples, chained.data());

  std::vector<double> step = block;
  for (const cy_bci_filter_stage& s : stages) {
    const filter_ptr f = make(s.kind, s.order, 250, s.f1, s.f2, channels);
    cy_bci_online_filter_process(f.get(), step.data(), samples, step.data());
  }
  EXPECT_TRUE(bci_test::bitwise_equal(chained, step));

  const filter_ptr high = make(CY_BCI_FILTER_HIGHPASS, 3, 250, 10, 0, 1);
  std::vector<double> nyquist(100), out(100);
  for (std::size_t i = 0; i < nyquist.size(); ++i) nyquist[i] = i % 2 == 0 ? 1.0 : -1.0;
  cy_bci_online_filter_process(high.get(), nyquist.data(), nyquist.size(), out.data());
  EXPECT_NEAR(out[99], -1.0, 0.01);
}

TEST(OnlineFilter, RefusesWhatItCannotDesign) {
  struct bad_case {
    cy_bci_filter_kind kind;
    int order;
    double rate, f1, f2;
    std::size_t channels;
    cy_bci_filter_error expected;
  };
  const double nan = std::nan("");
  const auto kind = [](int k) { return static_cast<cy_bci_filter_kind>(k); };
  const bad_case cases[] = {
      {kind(4), 4, 250, 1, 40, 1, CY_BCI_FILTER_BAD_KIND},
      {kind(-1), 4, 250, 1, 40, 1, CY_BCI_FILTER_BAD_KIND},
      {CY_BCI_FILTER_LOWPASS, 0, 250, 30, 0, 1, CY_BCI_FILTER_BAD_ORDER},
      {CY_BCI_FILTER_LOWPASS, 9, 250, 30, 0, 1, CY_BCI_FILTER_BAD_ORDER},
      {CY_BCI_FILTER_LOWPASS, 4, 0, 30, 0, 1, CY_BCI_FILTER_BAD_RATE},
      {CY_BCI_FILTER_LOWPASS, 4, -250, 30, 0, 1, CY_BCI_FILTER_BAD_RATE},
      {CY_BCI_FILTER_LOWPASS, 4, nan, 30, 0, 1, CY_BCI_FILTER_BAD_RATE},
      {CY_BCI_FILTER_LOWPASS, 4, INFINITY, 30, 0, 1, CY_BCI_FILTER_BAD_RATE},
      {CY_BCI_FILTER_LOWPASS, 4, 250, 125, 0, 1, CY_BCI_FILTER_BAD_FREQUENCY},
      {CY_BCI_FILTER_LOWPASS, 4, 250, 0, 0, 1, CY_BCI_FILTER_BAD_FREQUENCY},
      {CY_BCI_FILTER_HIGHPASS, 4, 250, -1, 0, 1, CY_BCI_FILTER_BAD_FREQUENCY},
      {CY_BCI_FILTER_HIGHPASS, 4, 250, nan, 0, 1, CY_BCI_FILTER_BAD_FREQUENCY},
      {CY_BCI_FILTER_HIGHPASS, 4, 250, 1, 40, 1, CY_BCI_FILTER_BAD_FREQUENCY},
      {CY_BCI_FILTER_BANDPASS, 4, 250, 40, 1, 1, CY_BCI_FILTER_BAD_FREQUENCY},
      {CY_BCI_FILTER_BANDPASS, 4, 250, 10, 10, 1, CY_BCI_FILTER_BAD_FREQUENCY},
      {CY_BCI_FILTER_BANDPASS, 4, 250, 1, 130, 1, CY_BCI_FILTER_BAD_FREQUENCY},
      {CY_BCI_FILTER_BANDSTOP, 4, 250, 48, 0, 1, CY_BCI_FILTER_BAD_FREQUENCY},
      {CY_BCI_FILTER_HIGHPASS, 8, 1000, 1e-9, 0, 1, CY_BCI_FILTER_UNSTABLE},
      {CY_BCI_FILTER_LOWPASS, 4, 250, 30, 0, 0, CY_BCI_FILTER_BAD_ARGUMENT},
  };
  std::set<std::string> texts;
  for (const bad_case& c : cases) {
    cy_bci_filter_error error = CY_BCI_FILTER_OK;
    cy_bci_online_filter* f =
        cy_bci_online_filter_new(c.kind, c.order, c.rate, c.f1, c.f2, c.channels, &error);
    EXPECT_EQ(f, nullptr) << c.kind << " " << c.order << " " << c.rate << " " << c.f1 << " " << c.f2;
    EXPECT_EQ(error, c.expected) << c.kind << " " << c.order << " " << c.rate << " " << c.f1 << " " << c.f2;
    texts.insert(cy_bci_online_filter_error_text(error));
    cy_bci_online_filter_free(f);
  }
  EXPECT_EQ(texts.size(), 6U);  // one sentence per code met above

  const cy_bci_filter_stage bad_second[] = {{CY_BCI_FILTER_BANDPASS, 4, 1, 40},
                                           {CY_BCI_FILTER_BANDSTOP, 2, 48, 200}};
  cy_bci_filter_error error = CY_BCI_FILTER_OK;
  EXPECT_EQ(cy_bci_online_filter_new_chain(bad_second, 2, 250, 1, &error), nullptr);
  EXPECT_EQ(error, CY_BCI_FILTER_BAD_FREQUENCY);
  EXPECT_EQ(cy_bci_online_filter_new_chain(bad_second, 0, 250, 1, &error), nullptr);
  EXPECT_EQ(error, CY_BCI_FILTER_BAD_ARGUMENT);
  EXPECT_EQ(cy_bci_online_filter_new_chain(nullptr, 1, 250, 1, nullptr), nullptr);

  const filter_ptr f = make(CY_BCI_FILTER_LOWPASS, 2, 250, 30, 0, 1);
  EXPECT_EQ(cy_bci_online_filter_reset(f.get(), static_cast<cy_bci_filter_initial>(2)),
            CY_BCI_FILTER_BAD_ARGUMENT);
  EXPECT_EQ(cy_bci_online_filter_reset(nullptr, CY_BCI_FILTER_INITIAL_ZERO),
            CY_BCI_FILTER_BAD_ARGUMENT);
}

}  // namespace
