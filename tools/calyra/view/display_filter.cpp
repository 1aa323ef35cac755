#include "view/display_filter.h"

#include <cmath>

namespace calyra::view {
namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double butterworth_q = 0.70710678118654752;

// Shared denominator of the sections below (bilinear transform with
// pre-warping), normalised so that a0 = 1.
biquad with_poles(double rate_hz, double centre_hz, double q, double b0, double b1, double b2) {
  const double w0 = 2.0 * pi * centre_hz / rate_hz;
  const double alpha = std::sin(w0) / (2.0 * q);
  const double a0 = 1.0 + alpha;
  biquad s;
  s.b0 = b0 / a0;
  s.b1 = b1 / a0;
  s.b2 = b2 / a0;
  s.a1 = -2.0 * std::cos(w0) / a0;
  s.a2 = (1.0 - alpha) / a0;
  return s;
}

}  // namespace

biquad design_highpass(double rate_hz, double cutoff_hz) {
  const double c = std::cos(2.0 * pi * cutoff_hz / rate_hz);
  return with_poles(rate_hz, cutoff_hz, butterworth_q, (1.0 + c) / 2.0, -(1.0 + c), (1.0 + c) / 2.0);
}

biquad design_lowpass(double rate_hz, double cutoff_hz) {
  const double c = std::cos(2.0 * pi * cutoff_hz / rate_hz);
  return with_poles(rate_hz, cutoff_hz, butterworth_q, (1.0 - c) / 2.0, 1.0 - c, (1.0 - c) / 2.0);
}

biquad design_bandstop(double rate_hz, double centre_hz, double width_hz) {
  const double c = std::cos(2.0 * pi * centre_hz / rate_hz);
  return with_poles(rate_hz, centre_hz, centre_hz / width_hz, 1.0, -2.0 * c, 1.0);
}

display_filter::display_filter(std::size_t channels, double rate_hz) : channels_(channels) {
  for (channel_state& ch : channels_) {
    ch.sections = {design_highpass(rate_hz, 1.0), design_lowpass(rate_hz, 40.0),
                   design_bandstop(rate_hz, 50.0, 4.0), design_bandstop(rate_hz, 60.0, 4.0)};
  }
}

double display_filter::step(std::size_t ch, double x) {
  // A non-finite value would poison the sections' state for good.
  if (!std::isfinite(x)) return x;
  channel_state& s = channels_[ch];
  // Electrode offsets reach thousands of microvolts; starting the high-pass
  // from the first value keeps that step from ringing through the window.
  if (!s.started) {
    s.offset = x;
    s.started = true;
  }
  double y = x - s.offset;
  for (biquad& section : s.sections) y = section.step(y);
  return y;
}

}  // namespace calyra::view
