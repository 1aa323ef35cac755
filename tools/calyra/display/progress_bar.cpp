#include "display/progress_bar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace calyra::display {

std::string progress_bar(double fraction, int width) {
  if (!(fraction >= 0.0)) fraction = 0.0;  // also catches NaN
  fraction = std::min(fraction, 1.0);
  width = std::max(width, 1);
  const int filled = static_cast<int>(std::floor(fraction * width));
  std::string bar = "[";
  bar.append(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(width - filled), '.');
  char percent[8];
  std::snprintf(percent, sizeof percent, "%4d%%", static_cast<int>(std::floor(fraction * 100.0)));
  return bar + "]" + percent;
}

std::string format_seconds(double seconds) {
  char text[32];
  if (seconds < 3600.0) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  } else {
    const long total = static_cast<long>(seconds);
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  }
  return text;
}

}  // namespace calyra::display
