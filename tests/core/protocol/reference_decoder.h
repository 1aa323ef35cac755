// A stream packet decoder written for the tests straight from the packet
// layout, sharing no code with the library: what a receiver reconstructs from
// a payload, as raw counts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace calyra::test {

struct model_layout {
  const char* name;
  std::uint8_t model_code;
  std::size_t electrodes;
  std::size_t samples_per_packet;
  bool has_accel;
};

// The six models a headset can report, with their packet parameters.
inline const std::array<model_layout, 6> all_models = {{
    {"wren_1_0_1", 0, 8, 30, true},
    {"finch", 1, 16, 15, true},
    {"heron", 2, 32, 10, true},
    {"plover", 3, 4, 10, true},
    {"kestrel", 4, 4, 50, true},
    {"kestrel_v2", 5, 4, 50, false},
}};

struct decoded_packet {
  std::size_t samples = 0;
  std::vector<std::int32_t> values;  // samples × streamed, sample after sample
  std::uint32_t status = 0;          // bit i: electrode i
  std::array<std::int16_t, 3> accel{};
  std::uint32_t counter = 0;
};

inline std::int32_t read_24(const std::string& p, std::size_t at) {
  const auto b = [&](std::size_t i) { return static_cast<std::int32_t>(static_cast<std::uint8_t>(p.at(at + i))); };
  const std::int32_t v = b(0) + 256 * b(1) + 65536 * b(2);
  return b(2) >= 0x80 ? v - 16777215 : v;
}

inline std::int32_t difference_value(std::uint32_t field, std::int32_t mask) {
  const std::uint32_t t = (field * 4) % 65536;
  const auto m = static_cast<std::int32_t>(t) & mask;
  return (t >> 13) & 1u ? -((~m) & mask) : m;
}

inline decoded_packet reference_decode(const std::string& p, std::size_t electrodes,
                                       std::size_t streamed, bool has_accel, bool impedance,
                                       std::int32_t mask = 0x1FFF) {
  const std::size_t n = p.size();
  const std::size_t sb = (electrodes + 7) / 8;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(p.at(i)); };
  decoded_packet out;
  out.counter = static_cast<std::uint32_t>(byte(n - 5) | byte(n - 4) << 8 | byte(n - 3) << 16 |
                                           static_cast<std::uint32_t>(byte(n - 2)) << 24);
  const double width = impedance ? 3.0 : 1.5;
  const double rest = static_cast<double>(n) - 3.0 * streamed - (sb + (has_accel ? 11.0 : 5.0));
  out.samples = static_cast<std::size_t>(rest / (streamed * width)) + 1;
  const std::size_t area = impedance ? 3 * streamed * out.samples
                                     : 3 * streamed + ((out.samples - 1) * streamed * 12 + 7) / 8;
  const std::size_t status_at = area + (has_accel ? 6 : 0);
  for (std::size_t i = 0; i < electrodes; ++i)
    if ((byte(status_at + i / 8) >> (i % 8)) & 1u) out.status |= 1u << i;
  if (has_accel)
    for (std::size_t a = 0; a < 3; ++a)
      out.accel[a] = static_cast<std::int16_t>(byte(n - sb - 11 + 2 * a) | byte(n - sb - 10 + 2 * a) << 8);

  std::vector<std::int32_t> prev(streamed);
  std::size_t bit = 8 * 3 * streamed;
  for (std::size_t s = 0; s < out.samples; ++s) {
    for (std::size_t k = 0; k < streamed; ++k) {
      if (impedance) {
        out.values.push_back(read_24(p, 3 * streamed * s + 3 * k));
        continue;
      }
      if (s == 0) {
        prev[k] = read_24(p, 3 * k);
      } else {
        std::uint32_t field = 0;
        for (int i = 0; i < 12; ++i, ++bit)
          field = field << 1 | ((byte(bit / 8) >> (7 - bit % 8)) & 1u);
        prev[k] += difference_value(field, mask);
      }
      out.values.push_back(prev[k]);
    }
  }
  return out;
}

}  // namespace calyra::test
