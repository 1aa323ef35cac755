#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "dsp/transforms.h"
#include "test_signals.h"
#include "zero_phase_filter.h"

namespace {

using bci_test::pi;
using calyra::bciconnect::band_pass_filter;
using calyra::bciconnect::band_stop_filter;
using calyra::bciconnect::high_pass_filter;
using calyra::bciconnect::low_pass_filter;
using cplx = std::complex<double>;

// |H| at f cycles per sample, evaluated from the stored coefficients without
// the cascade's own response routine.
double magnitude(const Dsp::Cascade& cascade, double f) {
  const cplx z1 = std::polar(1.0, -2 * pi * f);
  cplx h = 1.0;
  for (int i = 0; i < cascade.getNumStages(); ++i) {
    const Dsp::Biquad& s = cascade[i];
    h *= (s.b0() + s.b1() * z1 + s.b2() * z1 * z1) / (1.0 + s.a1() * z1 + s.a2() * z1 * z1);
  }
  return std::abs(h);
}

const double half_power = 1 / std::sqrt(2.0);

TEST(FilterDesign, LowPassPolesZerosAndGains) {
  low_pass_filter filter;
  const double rate = 250, cutoff = 30;
  filter.setup(5, rate, cutoff);
  ASSERT_EQ(filter.getNumStages(), 3);

  // Poles: the analog Butterworth poles through the pre-warped bilinear map.
  const double w = std::tan(pi * cutoff / rate);
  for (int k = 0; k < 2; ++k) {
    const cplx s = std::polar(1.0, pi / 2 + (2 * k + 1) * pi / 10);
    const cplx z = (1.0 + w * s) / (1.0 - w * s);
    EXPECT_NEAR(filter[k].a1(), -2 * z.real(), 1e-14);
    EXPECT_NEAR(filter[k].a2(), std::norm(z), 1e-14);
    // Double zero at z = -1.
    EXPECT_NEAR(filter[k].b1() / filter[k].b0(), 2, 1e-14);
    EXPECT_NEAR(filter[k].b2() / filter[k].b0(), 1, 1e-14);
  }
  // The real pole makes a first-order last stage with its zero at -1.
  const double real_pole = (1 - w) / (1 + w);
  EXPECT_NEAR(filter[2].a1(), -real_pole, 1e-14);
  EXPECT_EQ(filter[2].a2(), 0);
  EXPECT_EQ(filter[2].b2(), 0);
  EXPECT_EQ(filter[2].b1(), filter[2].b0());

  EXPECT_NEAR(magnitude(filter, 0), 1, 1e-14);
  EXPECT_NEAR(magnitude(filter, cutoff / rate), half_power, 1e-12);
  EXPECT_LT(magnitude(filter, 0.5), 1e-12);
  EXPECT_NEAR(std::abs(filter.response(0.1)), magnitude(filter, 0.1), 1e-14);
}

TEST(FilterDesign, HighPassZerosAtDcAndUnityAtNyquist) {
  high_pass_filter filter;
  const double rate = 500, cutoff = 1;
  filter.setup(5, rate, cutoff);
  ASSERT_EQ(filter.getNumStages(), 3);
  for (int k = 0; k < 2; ++k) {
    EXPECT_NEAR(filter[k].b1() / filter[k].b0(), -2, 1e-14);
    EXPECT_NEAR(filter[k].b2() / filter[k].b0(), 1, 1e-14);
  }
  // First-order stage: numerator -1 + z^-1, zero at +1.
  EXPECT_EQ(filter[2].b1(), -filter[2].b0());
  EXPECT_NEAR(magnitude(filter, 0.5), 1, 1e-14);
  EXPECT_NEAR(magnitude(filter, cutoff / rate), half_power, 1e-9);
  EXPECT_LT(magnitude(filter, 0), 1e-12);
}

TEST(FilterDesign, BandPassEdgesCentreAndClamps) {
  const double rate = 250;
  band_pass_filter filter;
  filter.setup(4, rate, 20.5, 39);  // 1 .. 40 Hz
  ASSERT_EQ(filter.getNumStages(), 4);
  EXPECT_NEAR(magnitude(filter, 1 / rate), half_power, 1e-9);
  EXPECT_NEAR(magnitude(filter, 40 / rate), half_power, 1e-9);
  const double centre = std::atan(std::sqrt(std::tan(pi * 1 / rate) * std::tan(pi * 40 / rate)));
  EXPECT_NEAR(magnitude(filter, centre / pi), 1, 1e-12);
  EXPECT_LT(magnitude(filter, 0.5), 1e-6);

  // A lower edge below 0 Hz is clamped; the upper edge still comes from the
  // unclamped one (centre 5 + width 30 / 2 = 20 Hz, not 30 Hz).
  filter.setup(4, rate, 5, 30);
  EXPECT_NEAR(magnitude(filter, 20 / rate), half_power, 1e-6);
  for (int i = 0; i < filter.getNumStages(); ++i) {
    EXPECT_TRUE(std::isfinite(filter[i].a1()) && std::isfinite(filter[i].b0()));
  }
  // An upper edge beyond Nyquist is clamped below pi.
  filter.setup(4, rate, 110, 60);
  EXPECT_NEAR(magnitude(filter, 80 / rate), half_power, 1e-6);
}

TEST(FilterDesign, BandStopNormalisationPoint) {
  band_stop_filter filter;
  filter.setup(4, 250, 50, 4);
  ASSERT_EQ(filter.getNumStages(), 4);
  EXPECT_NEAR(magnitude(filter, 0.5), 1, 1e-14);
  EXPECT_LT(magnitude(filter, 0.2), 1e-7);
  EXPECT_NEAR(magnitude(filter, 48 / 250.0), half_power, 1e-6);
  EXPECT_NEAR(magnitude(filter, 10 / 250.0), 1, 1e-6);

  // Which point the gain is pinned to follows the centre: Nyquist below a
  // quarter of the rate, DC from there on.
  Dsp::PoleZeroPair analog_pairs[2], digital_pairs[4];
  Dsp::Butterworth::AnalogLowPass prototype;
  prototype.setStorage(Dsp::LayoutBase(4, analog_pairs));
  prototype.design(4);
  Dsp::LayoutBase digital(8, digital_pairs);
  Dsp::BandStopTransform(50 / 250.0, 4 / 250.0, digital, prototype);
  EXPECT_EQ(digital.getNormalW(), Dsp::doublePi);
  EXPECT_EQ(digital.getNumPoles(), 8);
  Dsp::BandStopTransform(50 / 150.0, 4 / 150.0, digital, prototype);
  EXPECT_EQ(digital.getNormalW(), 0);

  filter.setup(4, 150, 50, 4);
  EXPECT_NEAR(magnitude(filter, 0), 1, 1e-14);
  // The zeros sit at the pre-warped centre, close to but not exactly 50 Hz.
  EXPECT_LT(magnitude(filter, 50 / 150.0), 1e-5);
}

}  // namespace
