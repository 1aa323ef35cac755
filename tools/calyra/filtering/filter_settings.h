// Which filters to apply: the band-pass and the notch, as the command line
// gives them.
#pragma once

#include <optional>

namespace calyra::filtering {

struct band {
  double low_hz = 0.0;
  double high_hz = 0.0;
};

struct filter_settings {
  std::optional<band> bandpass;
  double notch_hz = 0.0;  // 0: none

  bool any() const { return bandpass.has_value() || notch_hz > 0.0; }
};

}  // namespace calyra::filtering
