// The configuration record written to stream_config. For a model with E
// electrodes it is 1 + E + ceil(E / 8) + 1 bytes:
//
//   0          impedance mode (0: off, any other value: on)
//   1 .. E     gain multiplier of electrode 0 .. E−1; 0: the electrode is not streamed
//   1 + E      bias bitmask, ceil(E / 8) bytes, bit i for electrode i (LSB first)
//   last       data stream rate code
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace calyra::core::protocol {

struct config_record {
  std::uint8_t impedance_mode = 0;
  std::vector<std::uint8_t> gains;  // one multiplier per electrode
  std::uint32_t bias_mask = 0;      // bit i: electrode i
  std::uint8_t rate_code = 6;
};

constexpr std::size_t config_record_size(std::size_t electrode_count) {
  return 1 + electrode_count + (electrode_count + 7) / 8 + 1;
}

// The record's bytes (electrodes beyond 32 have no bias bit).
std::string encode_config_record(const config_record& record);

// Reads a record for a model with `electrode_count` electrodes; nullopt when
// the length does not fit that model.
std::optional<config_record> decode_config_record(const std::string& bytes,
                                                  std::size_t electrode_count);

}  // namespace calyra::core::protocol
