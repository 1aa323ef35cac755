// The filter behind the page's "filter" switch, for what is drawn only:
// band-pass 1-40 Hz, then band-stops at 50 and 60 Hz, each a second-order
// Butterworth design run causally by the library's online filter. Causal, so
// a live trace does not lag and samples already drawn never move; every
// channel starts in the steady state of its first sample, so an electrode
// offset of thousands of microvolts does not ring through the window.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "filtering/causal_filter.h"
#include "view/display_tap.h"

namespace calyra::view {

class display_filter {
 public:
  display_filter(std::size_t channels, double rate_hz);

  // Filters the next rows into out, channel-major (channels x rows). A
  // non-finite sample comes out as it went in; lost-sample fillers and
  // non-finite samples are held over (see filtering::causal_filter). At a
  // rate too low for the 60 Hz band-stop the rows pass unfiltered.
  void process(const display_rows& rows, std::vector<double>& out);

 private:
  std::size_t channels_;
  std::optional<filtering::causal_filter> filter_;
};

}  // namespace calyra::view
