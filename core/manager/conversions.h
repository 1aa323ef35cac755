// Small value conversions shared by decoding, configuration upload and the
// battery records.
#pragma once

#include <cstdint>

#include "runtime/stream_types.h"

namespace calyra::core {

// 1, 2, 4, 6, 8, 12 for X1 .. X12; 0 for any other mode.
int gain_mode_to_multiplier(gain_mode mode);
// 4, 6, 8, 12 give X4 .. X12; every other multiplier (1 and 2 included)
// gives the all-ones mode 0xFF.
gain_mode multiplier_to_gain_mode(int multiplier);
// The multiplier a channel is configured and scaled with: a mode without a
// multiplier (above X12) counts as 8, so upload and decoding agree and no
// channel is divided by zero.
int effective_gain_multiplier(gain_mode mode);

// IEEE half precision to single precision. Subnormals are normalised and
// exponent 31 is converted like any other exponent (a finite value of
// magnitude 2^16 or more, never infinity or NaN): the headset uses the full
// exponent range for plain numbers.
float float16_to_float(std::uint16_t bits);

}  // namespace calyra::core
