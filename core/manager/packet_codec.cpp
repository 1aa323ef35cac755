#include "manager/packet_codec.h"

namespace calyra::core::packet_codec {

namespace {

// Accelerometer (optional), status field, counter and the unused last byte.
std::size_t trailer_size(std::size_t electrodes, bool has_accel) {
  return (electrodes + 7) / 8 + (has_accel ? 11 : 5);
}

// Bytes of samples 1 .. S-1: ceil((S - 1) * L * bytes per value), where a
// value takes 1.5 bytes as a 12-bit difference and 3 bytes in impedance mode.
std::size_t later_sample_bytes(std::size_t samples, std::size_t streamed, bool impedance) {
  const std::size_t later_values = (samples - 1) * streamed;
  return impedance ? 3 * later_values : (3 * later_values + 1) / 2;
}

}  // namespace

std::size_t payload_size(std::size_t samples, std::size_t streamed, std::size_t electrodes,
                         bool has_accel, bool impedance) {
  return 3 * streamed + later_sample_bytes(samples, streamed, impedance) +
         trailer_size(electrodes, has_accel);
}

std::optional<packet_layout> compute_layout(std::size_t size, std::size_t streamed,
                                            std::size_t electrodes, bool has_accel,
                                            bool impedance, std::size_t max_samples) {
  const std::size_t trailer = trailer_size(electrodes, has_accel);
  const std::size_t first_sample = 3 * streamed;
  if (streamed == 0 || size < first_sample + trailer) return std::nullopt;

  // The only S whose length can be `size`: the later samples take
  // 3 * L bytes each in impedance mode, 1.5 * L bytes each otherwise (the
  // half byte of an odd count rounds up, which never reaches 1.5 * L).
  const std::size_t spare = size - first_sample - trailer;
  const std::size_t samples =
      (impedance ? spare / (3 * streamed) : (2 * spare) / (3 * streamed)) + 1;
  if (samples > max_samples ||
      size != payload_size(samples, streamed, electrodes, has_accel, impedance)) {
    return std::nullopt;
  }

  packet_layout layout;
  layout.samples = samples;
  layout.status_offset = first_sample + later_sample_bytes(samples, streamed, impedance) +
                         (has_accel ? 6 : 0);
  layout.accel_offset = has_accel ? size - (electrodes + 7) / 8 - 11 : 0;
  layout.counter_offset = size - 5;
  return layout;
}

}  // namespace calyra::core::packet_codec
