// The messages of the event stream. Samples and spectra travel as compact
// little-endian binary in base64 (an event stream carries text); the rest
// is small JSON.
//
// samples frame:  u32 first bucket, u16 bucket count B, u16 channel count C,
//                 B bytes of flags (bit 0: the bucket holds filler for lost
//                 samples), then C x B (min, max) f32 pairs of the raw
//                 signal, channel by channel, then the same for the
//                 display-filtered signal.
// spectrum frame: u16 channel count C, u16 bin count K, f32 bin width in Hz,
//                 then C x K f32 amplitudes in microvolts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "text/json_text.h"

namespace calyra::view {

// One bucket of consecutive samples: the range of each channel.
struct bucket_set {
  std::uint32_t first_bucket = 0;
  std::vector<std::uint8_t> flags;              // per bucket
  std::vector<std::vector<float>> raw;          // per channel: min, max, min, max ...
  std::vector<std::vector<float>> filtered;     // same layout
  std::size_t size() const { return flags.size(); }
};

std::string encode_samples(const bucket_set& buckets);
std::string encode_spectrum(const std::vector<std::vector<float>>& amplitudes, float bin_hz);

// Decoders, for the tests and for anything else reading the stream.
// Return false when the bytes do not hold a well-formed frame.
bool decode_samples(const std::string& bytes, bucket_set& out);

std::string base64_encode(const std::string& bytes);
std::string base64_decode(const std::string& text);  // empty on malformed input

// `text` as a JSON string literal (one escaper for the whole program).
using text::json_string;

// A complete server-sent event.
std::string sse_event(const std::string& name, const std::string& data);

}  // namespace calyra::view
