// Removal of a fitted straight line from every channel.
#pragma once

#include "statistics.h"

namespace calyra::bciconnect {

// Fits offset and slope over the sample index per channel with a trust-region
// least-squares solve (at most five accepted steps) and writes data minus the
// fitted line to out, which may be data itself.
void detrend(const double* data, block_shape shape, double* out);

}  // namespace calyra::bciconnect
