// The byte-level pieces of a stream packet: value encodings and the layout
// arithmetic. Pure functions, no state; the decoder (decode.cpp) strings
// them together and the tests check them one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace calyra::core::packet_codec {

// 24-bit little-endian value. Negative values are taken as v - 16777215 (not
// 16777216), which is how the headset encodes them: 0xFFFFFF is 0 and
// 0x800000 is -8388607.
inline std::int32_t decode_int24(const std::uint8_t* p) {
  const std::int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
  return p[2] >= 0x80 ? v - 16777215 : v;
}

// A 12-bit difference field scaled by 4 and masked. With mask 0x1FFF this is
// 4 * (r & 0x7FF), minus 8191 when the top bit of r is set; with 0xFFF only
// the low 10 bits contribute and negative results are offset by 4095.
inline std::int32_t decode_difference(std::uint32_t field, std::int32_t mask) {
  const std::int32_t t = static_cast<std::int32_t>((field * 4u) & 0xFFFFu);
  const std::int32_t m = t & mask;
  return (t & 0x2000) != 0 ? -((~m) & mask) : m;
}

// Microvolts of a reconstructed value; full_scale is 4.5 / gain multiplier.
// The order of operations is fixed (divide, then scale) so that results
// agree to the last bit with every other reader of these streams.
inline double to_microvolts(std::int32_t value, double full_scale) {
  return (value / 8388607.0) * full_scale * 1000000.0;
}

inline std::uint32_t read_u32le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::int16_t read_i16le(const std::uint8_t* p) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

// Reads consecutive 12-bit fields from a bit stream, most significant bit
// first: two fields per three bytes. Touches only the bytes the fields
// occupy (an odd last field ends in the middle of a byte).
class twelve_bit_reader {
 public:
  explicit twelve_bit_reader(const std::uint8_t* data) : p_(data) {}
  std::uint32_t next() {
    std::uint32_t field;
    if (!odd_) {
      field = (static_cast<std::uint32_t>(p_[0]) << 4) | (p_[1] >> 4);
    } else {
      field = (static_cast<std::uint32_t>(p_[1] & 0x0F) << 8) | p_[2];
      p_ += 3;
    }
    odd_ = !odd_;
    return field;
  }

 private:
  const std::uint8_t* p_;
  bool odd_ = false;
};

// Where things are in one packet.
struct packet_layout {
  std::size_t samples = 0;        // S
  std::size_t status_offset = 0;  // first byte of the electrode status field
  std::size_t accel_offset = 0;   // x, y, z (only with an accelerometer)
  std::size_t counter_offset = 0; // 32-bit packet counter
};

// Bytes of a payload carrying `samples` (at least 1) samples of `streamed`
// electrodes of a device with `electrodes` electrodes.
std::size_t payload_size(std::size_t samples, std::size_t streamed, std::size_t electrodes,
                         bool has_accel, bool impedance);

// The layout of a payload of `size` bytes carrying `streamed` electrodes of a
// device with `electrodes` electrodes. Empty when the payload cannot be
// decoded: no streamed electrode, or a length that is not exactly the
// payload_size of a whole number of samples between 1 and `max_samples` (a
// truncated or damaged notification would otherwise decode to samples with
// invented sample numbers). In impedance mode every sample is stored as
// 24-bit values.
std::optional<packet_layout> compute_layout(std::size_t size, std::size_t streamed,
                                            std::size_t electrodes, bool has_accel,
                                            bool impedance, std::size_t max_samples);

}  // namespace calyra::core::packet_codec
