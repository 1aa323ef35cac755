#include "view/frame_codec.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

namespace calyra::view {
namespace {

void put_u16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xff));
  out.push_back(static_cast<char>(v >> 8));
}

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void put_f32(std::string& out, float f) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &f, sizeof bits);
  put_u32(out, bits);
}

std::uint32_t get_u32(const std::string& in, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return v;
}

std::uint16_t get_u16(const std::string& in, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(in[at]) |
                                    static_cast<unsigned char>(in[at + 1]) << 8);
}

float get_f32(const std::string& in, std::size_t at) {
  const std::uint32_t bits = get_u32(in, at);
  float f = 0;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

}  // namespace

std::string encode_samples(const bucket_set& b) {
  const std::size_t channels = b.raw.size();
  std::string out;
  out.reserve(8 + b.size() * (1 + channels * 16));
  put_u32(out, b.first_bucket);
  put_u16(out, static_cast<std::uint16_t>(b.size()));
  put_u16(out, static_cast<std::uint16_t>(channels));
  for (std::uint8_t f : b.flags) out.push_back(static_cast<char>(f));
  for (const auto* variant : {&b.raw, &b.filtered}) {
    for (const std::vector<float>& channel : *variant) {
      for (float v : channel) put_f32(out, v);
    }
  }
  return out;
}

bool decode_samples(const std::string& bytes, bucket_set& out) {
  if (bytes.size() < 8) return false;
  out.first_bucket = get_u32(bytes, 0);
  const std::size_t count = get_u16(bytes, 4);
  const std::size_t channels = get_u16(bytes, 6);
  if (bytes.size() != 8 + count + 2 * channels * count * 2 * 4) return false;
  out.flags.assign(bytes.begin() + 8, bytes.begin() + 8 + static_cast<std::ptrdiff_t>(count));
  std::size_t at = 8 + count;
  for (auto* variant : {&out.raw, &out.filtered}) {
    variant->assign(channels, std::vector<float>(2 * count));
    for (std::vector<float>& channel : *variant) {
      for (float& v : channel) {
        v = get_f32(bytes, at);
        at += 4;
      }
    }
  }
  return true;
}

std::string encode_spectrum(const std::vector<std::vector<float>>& amplitudes, float bin_hz) {
  const std::size_t bins = amplitudes.empty() ? 0 : amplitudes.front().size();
  std::string out;
  put_u16(out, static_cast<std::uint16_t>(amplitudes.size()));
  put_u16(out, static_cast<std::uint16_t>(bins));
  put_f32(out, bin_hz);
  for (const auto& channel : amplitudes) {
    for (float v : channel) put_f32(out, v);
  }
  return out;
}

std::string base64_encode(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string base64_decode(const std::string& text) {
  if (text.size() % 4 != 0) return {};
  std::string out(3 * (text.size() / 4) + 1, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  // EVP_DecodeBlock counts the padding as zero bytes.
  std::size_t length = static_cast<std::size_t>(n);
  if (!text.empty() && text.back() == '=') --length;
  if (text.size() > 1 && text[text.size() - 2] == '=') --length;
  out.resize(length);
  return out;
}

std::string sse_event(const std::string& name, const std::string& data) {
  // Neither the names nor the data (base64 or JSON with escaped line
  // ends) hold a line break, so one data line carries the whole message.
  return "event: " + name + "\ndata: " + data + "\n\n";
}

}  // namespace calyra::view
