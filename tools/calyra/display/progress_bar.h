// Text progress bars for the stream and the firmware update.
#pragma once

#include <string>

namespace calyra::display {

// "[#########...........]  45%" with `width` cells between the brackets.
// The fraction is clamped to 0..1.
std::string progress_bar(double fraction, int width);

// "12.3 s" style durations; "1:02:03" from an hour on.
std::string format_seconds(double seconds);

}  // namespace calyra::display
