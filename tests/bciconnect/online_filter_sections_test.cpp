// The online filters run the very sections the zero-phase filters design,
// and every lane width gives the same bits.
#include <gtest/gtest.h>

#include <vector>

#include "online_filter.h"
#include "test_signals.h"
#include "zero_phase_filter.h"

namespace {

using namespace calyra::bciconnect;

std::vector<sos_section> designed(cy_bci_filter_kind kind, int order, double f1, double f2) {
  std::vector<sos_section> sections;
  EXPECT_EQ(append_butterworth_sections({kind, order, f1, f2}, 250, sections), CY_BCI_FILTER_OK);
  return sections;
}

void expect_same_stages(const Dsp::Cascade& cascade, const std::vector<sos_section>& sections,
                        bool last_negated = false) {
  ASSERT_EQ(static_cast<std::size_t>(cascade.getNumStages()), sections.size());
  for (int i = 0; i < cascade.getNumStages(); ++i) {
    const sos_section& s = sections[static_cast<std::size_t>(i)];
    const double sign = last_negated && i + 1 == cascade.getNumStages() ? -1.0 : 1.0;
    EXPECT_EQ(cascade[i].b0(), sign * s.b0) << i;
    EXPECT_EQ(cascade[i].b1(), sign * s.b1) << i;
    EXPECT_EQ(cascade[i].b2(), sign * s.b2) << i;
    EXPECT_EQ(cascade[i].a1(), s.a1) << i;
    EXPECT_EQ(cascade[i].a2(), s.a2) << i;
  }
}

TEST(OnlineFilterSections, AreTheZeroPhaseDesigns) {
  low_pass_filter low;
  low.setup(5, 250, 30);
  expect_same_stages(low, designed(CY_BCI_FILTER_LOWPASS, 5, 30, 0));
  // The first-order high-pass section turns its sign (see the design).
  high_pass_filter high;
  high.setup(5, 250, 1);
  expect_same_stages(high, designed(CY_BCI_FILTER_HIGHPASS, 5, 1, 0), true);
  band_pass_filter band;
  band.setup(4, 250, 20.5, 39);
  expect_same_stages(band, designed(CY_BCI_FILTER_BANDPASS, 4, 1, 40));
  band_stop_filter stop;
  stop.setup(4, 250, 50, 4);
  expect_same_stages(stop, designed(CY_BCI_FILTER_BANDSTOP, 4, 48, 52));
}

TEST(OnlineFilterSections, EveryLaneWidthGivesTheSameBits) {
  const std::size_t channels = 7, n = 600;  // 4 + 2 + 1 lanes
  const std::vector<double> block = bci_test::noise(channels * n, 10, 3);
  std::vector<double> expected;
  for (const lane_width lanes : {lane_width::one, lane_width::two, lane_width::four}) {
    online_filter f(designed(CY_BCI_FILTER_BANDPASS, 8, 1, 40), channels);  // two passes
    f.reset(CY_BCI_FILTER_INITIAL_STEADY);
    std::vector<double> out(block.size());
    f.process(block.data(), n, out.data(), lanes);
    if (expected.empty()) {
      expected = out;
    } else {
      EXPECT_TRUE(bci_test::bitwise_equal(out, expected)) << static_cast<int>(lanes);
    }
  }
}

}  // namespace
