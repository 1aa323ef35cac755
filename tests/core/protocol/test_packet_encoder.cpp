#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "reference_decoder.h"
#include "protocol/packet_encoder.h"

namespace {

using namespace calyra::core::protocol;
using calyra::test::all_models;
using calyra::test::difference_value;
using calyra::test::reference_decode;

// A smooth EEG-like trace whose sample-to-sample steps fit a 12-bit field.
std::vector<std::int32_t> smooth_values(std::size_t samples, std::size_t streamed, double amplitude) {
  std::vector<std::int32_t> values;
  for (std::size_t s = 0; s < samples; ++s)
    for (std::size_t k = 0; k < streamed; ++k)
      values.push_back(static_cast<std::int32_t>(
          std::lround(amplitude * std::sin(0.25 * s + k) - 1000.0 * k + 7 * ((s * 13 + k) % 5))));
  return values;
}

std::vector<std::uint8_t> every_electrode(std::size_t count, std::size_t step) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < count; i += step) out.push_back(static_cast<std::uint8_t>(i));
  return out;
}

TEST(PacketEncoder, EveryModelRoundTripsThroughAnIndependentDecoder) {
  for (const auto& model : all_models) {
    for (bool impedance : {false, true}) {
      for (std::size_t step : {1u, 3u}) {
        SCOPED_TRACE(std::string(model.name) + (impedance ? " impedance" : " normal") +
                     " step " + std::to_string(step));
        const packet_shape shape{static_cast<std::uint8_t>(model.electrodes),
                                 static_cast<std::uint8_t>(model.samples_per_packet), 12,
                                 model.has_accel};
        const auto electrodes = every_electrode(model.electrodes, step);
        const packet_encoder encoder(shape, electrodes, impedance);
        const auto values = smooth_values(model.samples_per_packet, electrodes.size(), 3000.0);

        packet_content content;
        content.values = values;
        content.status_bits = 0xA5A5A5A5u & ((model.electrodes >= 32) ? 0xFFFFFFFFu : (1u << model.electrodes) - 1);
        content.accel = {-12345, 256, 32767};
        content.counter = 0xFEDCBA98u;
        std::vector<std::int32_t> reconstructed;
        const std::string payload = encoder.encode(content, &reconstructed);

        ASSERT_EQ(payload.size(), encoder.payload_size());
        const auto decoded = reference_decode(payload, model.electrodes, electrodes.size(),
                                              model.has_accel, impedance);
        EXPECT_EQ(decoded.samples, model.samples_per_packet);
        EXPECT_EQ(decoded.values, reconstructed);
        for (std::size_t i = 0; i < values.size(); ++i) {
          ASSERT_LE(std::abs(decoded.values[i] - values[i]), impedance ? 0 : 2) << "value " << i;
        }
        EXPECT_EQ(decoded.status, content.status_bits);
        EXPECT_EQ(decoded.counter, content.counter);
        EXPECT_EQ(payload.back(), '\0');
        if (model.has_accel) {
          EXPECT_EQ(decoded.accel, content.accel);
        }
      }
    }
  }
}

TEST(PacketEncoder, TwentyFourBitValuesUseTheHeadsetsNegativeForm) {
  EXPECT_EQ(encode_24(0), 0u);
  EXPECT_EQ(encode_24(-1), 0xFFFFFEu);
  EXPECT_EQ(encode_24(max_sample_value), 0x7FFFFFu);
  EXPECT_EQ(encode_24(-max_sample_value), 0x800000u);
  // Beyond what 24 bits carry the value is clamped, never wrapped.
  EXPECT_EQ(encode_24(9000000), 0x7FFFFFu);
  EXPECT_EQ(encode_24(-9000000), 0x800000u);
}

TEST(PacketEncoder, DifferenceFieldsAtTheLimits) {
  // The receiver reads 0x800 as -8191, 0x7FF as 8188 and 0xFFF as -3.
  EXPECT_EQ(encode_difference(-8191, 12).field, 0x800);
  EXPECT_EQ(encode_difference(8188, 12).field, 0x7FF);
  EXPECT_EQ(encode_difference(-3, 12).field, 0xFFF);
  EXPECT_EQ(encode_difference(1'000'000, 12).represented, 8188);
  EXPECT_EQ(encode_difference(-1'000'000, 12).represented, -8191);
  EXPECT_EQ(encode_difference(1'000'000, 11).represented, 4092);
  EXPECT_EQ(encode_difference(-1'000'000, 11).represented, -4095);

  for (std::uint8_t bits : {std::uint8_t{11}, std::uint8_t{12}}) {
    const std::int32_t mask = difference_mask(bits);
    const std::int32_t low = -mask, high = 4 * ((1 << (bits - 1)) - 1);
    for (std::int32_t wanted = low - 50; wanted <= high + 50; ++wanted) {
      const difference_code code = encode_difference(wanted, bits);
      ASSERT_LT(code.field, 0x1000);
      ASSERT_EQ(difference_value(code.field, mask), code.represented) << "wanted " << wanted;
      const std::int32_t limit = std::clamp(wanted, low, high);
      ASSERT_LE(std::abs(code.represented - limit), 2) << "wanted " << wanted;
    }
  }
}

TEST(PacketEncoder, LargeStepsAreClampedAndTrackedWithoutDrift) {
  const packet_shape shape{4, 50, 12, true};
  const packet_encoder encoder(shape, {0, 3}, false);
  // Electrode 0 jumps from the negative to the positive limit; electrode 3
  // alternates with steps far beyond a field.
  std::vector<std::int32_t> values;
  for (std::int32_t s = 0; s < 50; ++s) {
    values.push_back(s == 0 ? -max_sample_value : max_sample_value);
    values.push_back(s % 2 == 0 ? 20000 : -20000);
  }
  packet_content content;
  content.values = values;
  std::vector<std::int32_t> reconstructed;
  const auto decoded = reference_decode(encoder.encode(content, &reconstructed), 4, 2, true, false);
  ASSERT_EQ(decoded.values, reconstructed);
  for (std::size_t s = 1; s < 50; ++s) {
    // Climbing by the largest step the field carries, never beyond the target.
    EXPECT_EQ(decoded.values[2 * s], -max_sample_value + 8188 * static_cast<std::int32_t>(s));
    EXPECT_LE(std::abs(decoded.values[2 * s + 1]), 20000);
  }
}

TEST(PacketEncoder, ElevenBitModelsDecodeWithTheNarrowMask) {
  const packet_shape shape{8, 30, 11, true};
  const packet_encoder encoder(shape, every_electrode(8, 1), false);
  const auto values = smooth_values(30, 8, 1500.0);
  packet_content content;
  content.values = values;
  std::vector<std::int32_t> reconstructed;
  const auto decoded = reference_decode(encoder.encode(content, &reconstructed), 8, 8, true, false, 0xFFF);
  EXPECT_EQ(decoded.values, reconstructed);
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_LE(std::abs(decoded.values[i] - values[i]), 2);
}

TEST(PacketEncoder, LayoutSizes) {
  // kestrel, 4 electrodes: 12 + ceil(49·4·12/8) = 12 + 294 sample bytes, then
  // 6 accelerometer, 1 status, 4 counter and 1 trailing byte.
  EXPECT_EQ(payload_size({4, 50, 12, true}, 4, false), 318u);
  EXPECT_EQ(payload_size({4, 50, 12, false}, 4, false), 312u);
  EXPECT_EQ(payload_size({32, 10, 12, true}, 32, true), 3u * 32 * 10 + 6 + 4 + 5);
  // An odd number of fields ends in half a byte.
  EXPECT_EQ(sample_area_size(2, 1, false), 3u + 2);

  // An electrode the model does not have would shift every later field.
  EXPECT_THROW(packet_encoder({4, 10, 12, true}, {4}, false), std::invalid_argument);
}

}  // namespace
