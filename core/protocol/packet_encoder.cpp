#include "protocol/packet_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace calyra::core::protocol {
namespace {

constexpr std::size_t field_bits = 12;
constexpr std::uint16_t negative_flag = 0x800;

std::int32_t clamp_sample(std::int32_t value) {
  return std::clamp(value, -max_sample_value, max_sample_value);
}

void put_24(std::string& out, std::size_t offset, std::int32_t value) {
  const std::uint32_t pattern = encode_24(value);
  out[offset] = static_cast<char>(pattern & 0xFF);
  out[offset + 1] = static_cast<char>((pattern >> 8) & 0xFF);
  out[offset + 2] = static_cast<char>((pattern >> 16) & 0xFF);
}

// Appends 12-bit fields to a byte string, most significant bit first.
class field_writer {
 public:
  field_writer(std::string& out, std::size_t offset) : out_(out), pos_(offset) {}
  void put(std::uint16_t field) {
    acc_ = (acc_ << field_bits) | (field & 0xFFFu);
    bits_ += field_bits;
    while (bits_ >= 8) {
      bits_ -= 8;
      out_[pos_++] = static_cast<char>((acc_ >> bits_) & 0xFF);
    }
  }
  void finish() {
    if (bits_ > 0) out_[pos_++] = static_cast<char>((acc_ << (8 - bits_)) & 0xFF);
    bits_ = 0;
  }

 private:
  std::string& out_;
  std::size_t pos_;
  std::uint32_t acc_ = 0;
  std::size_t bits_ = 0;
};

}  // namespace

std::size_t sample_area_size(std::size_t samples, std::size_t streamed, bool impedance_mode) {
  if (samples == 0) return 0;
  if (impedance_mode) return 3 * streamed * samples;
  return 3 * streamed + ((samples - 1) * streamed * field_bits + 7) / 8;
}

std::size_t payload_size(const packet_shape& shape, std::size_t streamed, bool impedance_mode) {
  return sample_area_size(shape.samples_per_packet, streamed, impedance_mode) +
         (shape.has_accel ? accel_size : 0) + status_field_size(shape.electrode_count) +
         counter_size + trailing_byte_count;
}

std::int32_t difference_mask(std::uint8_t difference_bits) {
  return (std::int32_t{1} << (difference_bits + 1)) - 1;
}

std::uint32_t encode_24(std::int32_t value) {
  const std::int32_t v = clamp_sample(value);
  // The receiver maps a pattern p ≥ 0x800000 to p − 0xFFFFFF.
  return v >= 0 ? static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v + 0xFFFFFF);
}

difference_code encode_difference(std::int32_t wanted, std::uint8_t difference_bits) {
  const std::int64_t m_max = (std::int64_t{1} << (difference_bits - 1)) - 1;
  const std::int64_t mask = difference_mask(difference_bits);
  const auto nearest_m = [m_max](std::int64_t x) {
    return x <= 0 ? std::int64_t{0} : std::min((x + 2) / 4, m_max);
  };
  // Positive fields carry 4·m, negative ones 4·m − mask.
  const std::int64_t m_pos = nearest_m(wanted);
  const std::int64_t m_neg = nearest_m(std::int64_t{wanted} + mask);
  const std::int64_t pos = 4 * m_pos;
  const std::int64_t neg = 4 * m_neg - mask;
  if (std::llabs(wanted - pos) <= std::llabs(wanted - neg))
    return {static_cast<std::uint16_t>(m_pos), static_cast<std::int32_t>(pos)};
  return {static_cast<std::uint16_t>(negative_flag | m_neg), static_cast<std::int32_t>(neg)};
}

packet_encoder::packet_encoder(packet_shape shape, std::vector<std::uint8_t> streamed_electrodes,
                               bool impedance_mode)
    : shape_(shape), electrodes_(std::move(streamed_electrodes)), impedance_(impedance_mode) {
  if (shape_.electrode_count < 1 || shape_.electrode_count > 32)
    throw std::invalid_argument("packet_encoder: electrode count must be 1..32");
  if (shape_.samples_per_packet < 1)
    throw std::invalid_argument("packet_encoder: a packet carries at least one sample");
  if (shape_.difference_bits != 11 && shape_.difference_bits != 12)
    throw std::invalid_argument("packet_encoder: difference size must be 11 or 12 bits");
  for (std::size_t i = 0; i < electrodes_.size(); ++i) {
    if (electrodes_[i] >= shape_.electrode_count)
      throw std::invalid_argument("packet_encoder: streamed electrode beyond the model's count");
    if (i > 0 && electrodes_[i] <= electrodes_[i - 1])
      throw std::invalid_argument("packet_encoder: streamed electrodes must be ascending");
  }
}

std::size_t packet_encoder::payload_size() const {
  return protocol::payload_size(shape_, electrodes_.size(), impedance_);
}

std::string packet_encoder::encode(const packet_content& content,
                                   std::vector<std::int32_t>* reconstructed) const {
  const std::size_t L = electrodes_.size();
  const std::size_t S = shape_.samples_per_packet;
  if (content.values.size() != S * L)
    throw std::invalid_argument("packet_encoder: expected samples × electrodes values");

  std::string out(payload_size(), '\0');
  if (reconstructed) reconstructed->assign(S * L, 0);

  if (impedance_) {
    for (std::size_t i = 0; i < S * L; ++i) {
      put_24(out, 3 * i, content.values[i]);
      if (reconstructed) (*reconstructed)[i] = clamp_sample(content.values[i]);
    }
  } else if (L > 0) {
    std::vector<std::int32_t> prev(L);
    for (std::size_t k = 0; k < L; ++k) {
      prev[k] = clamp_sample(content.values[k]);
      put_24(out, 3 * k, prev[k]);
      if (reconstructed) (*reconstructed)[k] = prev[k];
    }
    field_writer fields(out, 3 * L);
    for (std::size_t s = 1; s < S; ++s) {
      for (std::size_t k = 0; k < L; ++k) {
        const std::int32_t target = clamp_sample(content.values[s * L + k]);
        const difference_code code = encode_difference(target - prev[k], shape_.difference_bits);
        fields.put(code.field);
        prev[k] += code.represented;
        if (reconstructed) (*reconstructed)[s * L + k] = prev[k];
      }
    }
    fields.finish();
  }

  std::size_t pos = sample_area_size(S, L, impedance_);
  if (shape_.has_accel) {
    for (std::int16_t axis : content.accel) {
      const auto raw = static_cast<std::uint16_t>(axis);
      out[pos++] = static_cast<char>(raw & 0xFF);
      out[pos++] = static_cast<char>(raw >> 8);
    }
  }
  for (std::size_t i = 0; i < shape_.electrode_count; ++i)
    if ((content.status_bits >> i) & 1u) out[pos + i / 8] = static_cast<char>(out[pos + i / 8] | (1 << (i % 8)));
  pos += status_field_size(shape_.electrode_count);
  for (std::size_t b = 0; b < counter_size; ++b)
    out[pos++] = static_cast<char>((content.counter >> (8 * b)) & 0xFF);
  return out;
}

}  // namespace calyra::core::protocol
