// The filter behind the page's "filter" switch: band-pass 1-40 Hz with
// band-stops at 50 and 60 Hz, for what is drawn only. It is causal, one
// sample in and one out: the library's zero-phase filters look at samples
// on both sides, so a live trace filtered with them would lag by their
// context, and re-filtering a window every frame would move samples that
// are already drawn.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace calyra::view {

// One second-order section (transposed direct form II).
struct biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double z1 = 0, z2 = 0;

  double step(double x) {
    const double y = b0 * x + z1;
    z1 = b1 * x - a1 * y + z2;
    z2 = b2 * x - a2 * y;
    return y;
  }
};

// Second-order Butterworth sections and a band-stop of the given width.
biquad design_highpass(double rate_hz, double cutoff_hz);
biquad design_lowpass(double rate_hz, double cutoff_hz);
biquad design_bandstop(double rate_hz, double centre_hz, double width_hz);

class display_filter {
 public:
  display_filter(std::size_t channels, double rate_hz);

  // Filters one sample of channel `ch`.
  double step(std::size_t ch, double x);

 private:
  struct channel_state {
    std::array<biquad, 4> sections;
    double offset = 0.0;
    bool started = false;
  };
  std::vector<channel_state> channels_;
};

}  // namespace calyra::view
