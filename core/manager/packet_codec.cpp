#include "manager/packet_codec.h"

namespace calyra::core::packet_codec {

std::optional<packet_layout> compute_layout(std::size_t size, std::size_t streamed,
                                            std::size_t electrodes, bool has_accel,
                                            bool impedance) {
  const std::size_t status_bytes = (electrodes + 7) / 8;
  const std::size_t trailer = status_bytes + (has_accel ? 11 : 5);
  const std::size_t first_sample = 3 * streamed;
  if (streamed == 0 || size < first_sample + trailer) return std::nullopt;

  // Bytes per value: 1.5 for 12-bit differences, 3 for 24-bit samples. The
  // division is done in double, which decides S for payloads with spare bytes.
  const double value_bytes = impedance ? 3.0 : 1.5;
  const double spare = static_cast<double>(size - first_sample - trailer);
  const auto samples =
      static_cast<std::size_t>(spare / (static_cast<double>(streamed) * value_bytes)) + 1;

  // ceil((S - 1) * L * bytes per value), kept in integers.
  const std::size_t later_values = (samples - 1) * streamed;
  const std::size_t later_bytes = impedance ? 3 * later_values : (3 * later_values + 1) / 2;

  packet_layout layout;
  layout.samples = samples;
  layout.status_offset = first_sample + later_bytes + (has_accel ? 6 : 0);
  layout.accel_offset = has_accel ? size - status_bytes - 11 : 0;
  layout.counter_offset = size - 5;
  return layout;
}

}  // namespace calyra::core::packet_codec
