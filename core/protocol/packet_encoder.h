// The stream packet as the headset builds it. One notification on stream_data
// carries S consecutive samples of the L streamed electrodes:
//
//   offset 0         3·L bytes   sample 0: one 24-bit signed little-endian value
//                                per streamed electrode
//   offset 3·L       samples 1 .. S−1 as 12-bit difference fields, sample after
//                    sample, packed into one bit stream most significant bit
//                    first (ceil((S−1)·L·12 / 8) bytes)
//   then, if the model has an accelerometer, x, y, z as int16 little-endian
//   then the status field, ceil(E / 8) bytes, bit i for electrode i (LSB first)
//   then the packet counter: the sample number of the last sample, uint32 LE
//   then one byte the receiver ignores (always 0 here)
//
// In impedance mode there are no differences: every sample is stored like
// sample 0, so the sample area holds 3·L·S bytes.
//
// 24-bit values use the headset's own negative form: a negative v is sent as
// v + 0xFFFFFF, so the range is ±8388607 and 0xFFFFFF also reads as 0.
//
// A 12-bit field r carries a difference of 4·m (m = the low bits of r) when the
// top bit is clear, and 4·m − mask when it is set, with mask 0x1FFF for a
// 12-bit difference size (m: 11 bits) and 0xFFF for an 11-bit size (m: 10 bits).
// Only those values are representable, so the encoder sends the nearest one
// and continues from the value the receiver reconstructs, never from the ideal
// one: the quantisation error stays within ±2 counts instead of accumulating
// over the packet. Steps larger than the field carries are clamped, and the
// following samples catch up.
//
// The encoder is pure and holds no state between packets; it is safe to use
// one instance from several threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace calyra::core::protocol {

// The wire parameters of one headset model.
struct packet_shape {
  std::uint8_t electrode_count = 0;     // E, 1 .. 32
  std::uint8_t samples_per_packet = 0;  // S, at least 1
  std::uint8_t difference_bits = 12;    // 11 or 12
  bool has_accel = false;
};

inline constexpr std::int32_t max_sample_value = 8388607;  // 2^23 − 1
inline constexpr std::size_t counter_size = 4;
inline constexpr std::size_t trailing_byte_count = 1;
inline constexpr std::size_t accel_size = 6;

constexpr std::size_t status_field_size(std::size_t electrode_count) {
  return (electrode_count + 7) / 8;
}

// Bytes of the sample area for S samples of L electrodes.
std::size_t sample_area_size(std::size_t samples, std::size_t streamed, bool impedance_mode);
// Bytes of a whole payload.
std::size_t payload_size(const packet_shape& shape, std::size_t streamed, bool impedance_mode);

// The mask the receiver applies to a difference field: 0x1FFF for 12 bits,
// 0xFFF for 11 bits.
std::int32_t difference_mask(std::uint8_t difference_bits);

// The 24-bit pattern of a value; values beyond ±8388607 are clamped first.
std::uint32_t encode_24(std::int32_t value);

struct difference_code {
  std::uint16_t field;          // the 12 bits to send
  std::int32_t represented;     // the difference the receiver will add
};
// The representable difference nearest to `wanted` (clamped at the limits).
difference_code encode_difference(std::int32_t wanted, std::uint8_t difference_bits);

// What one packet carries.
struct packet_content {
  // S × L raw counts, sample after sample, electrodes in streamed order.
  std::span<const std::int32_t> values;
  std::uint32_t status_bits = 0;            // bit i: electrode i
  std::array<std::int16_t, 3> accel{};      // ignored without accelerometer
  std::uint32_t counter = 0;                // sample number of the last sample
};

class packet_encoder {
 public:
  // `streamed_electrodes`: ascending electrode indices below E (may be empty,
  // which gives a payload no receiver can decode; tests use that).
  // Throws std::invalid_argument for a shape or electrode list outside these
  // limits.
  packet_encoder(packet_shape shape, std::vector<std::uint8_t> streamed_electrodes,
                 bool impedance_mode);

  const packet_shape& shape() const { return shape_; }
  const std::vector<std::uint8_t>& streamed_electrodes() const { return electrodes_; }
  bool impedance_mode() const { return impedance_; }
  std::size_t payload_size() const;

  // Builds the payload. `content.values` must hold exactly S × L values
  // (std::invalid_argument otherwise). When `reconstructed` is given it
  // receives the S × L values the receiver will reconstruct, in the same
  // order.
  std::string encode(const packet_content& content,
                     std::vector<std::int32_t>* reconstructed = nullptr) const;

 private:
  packet_shape shape_;
  std::vector<std::uint8_t> electrodes_;
  bool impedance_;
};

}  // namespace calyra::core::protocol
