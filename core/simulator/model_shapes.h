// What a virtual headset knows about its own hardware: the packet layout
// parameters per model code and its accelerometer's counts per g. The values
// mirror the capability table the library uses to decode; a model code
// outside 0..5 (used to test unknown models) gets the shape of code 4.
#pragma once

#include "protocol/gatt_map.h"

#include <cstdint>

#include "protocol/packet_encoder.h"

namespace calyra::simulator {

namespace gatt = core::gatt;
namespace protocol = core::protocol;

struct model_shape {
  protocol::packet_shape packet;
  float accel_counts_per_g;  // raw accelerometer counts for 1 g
};

model_shape shape_for_model(std::uint8_t model_code);

}  // namespace calyra::simulator
