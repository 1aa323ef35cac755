#include "protocol/config_record.h"

namespace calyra::core::protocol {

std::string encode_config_record(const config_record& record) {
  const std::size_t e = record.gains.size();
  std::string out(config_record_size(e), '\0');
  out[0] = static_cast<char>(record.impedance_mode);
  for (std::size_t i = 0; i < e; ++i) {
    out[1 + i] = static_cast<char>(record.gains[i]);
    if (i < 32 && (record.bias_mask >> i) & 1u)
      out[1 + e + i / 8] = static_cast<char>(out[1 + e + i / 8] | (1 << (i % 8)));
  }
  out.back() = static_cast<char>(record.rate_code);
  return out;
}

std::optional<config_record> decode_config_record(const std::string& bytes,
                                                  std::size_t electrode_count) {
  if (bytes.size() != config_record_size(electrode_count)) return std::nullopt;
  const auto byte = [&bytes](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  config_record record;
  record.impedance_mode = byte(0);
  record.gains.resize(electrode_count);
  for (std::size_t i = 0; i < electrode_count; ++i) {
    record.gains[i] = byte(1 + i);
    if (i < 32 && (byte(1 + electrode_count + i / 8) >> (i % 8)) & 1u)
      record.bias_mask |= std::uint32_t{1} << i;
  }
  record.rate_code = byte(bytes.size() - 1);
  return record;
}

}  // namespace calyra::core::protocol
