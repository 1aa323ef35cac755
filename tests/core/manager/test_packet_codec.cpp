// The byte-level pieces of decoding, checked against hand-made bytes and
// against the headset-side encoder: value encodings with both masks, the
// 12-bit bit stream, the layout arithmetic for every model shape, the
// half-precision conversion, the gain conversions and the arrival-time fit.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "capabilities/device_features.h"
#include "cycore/eeg_manager.h"
#include "manager/arrival_fit.h"
#include "manager/conversions.h"
#include "manager/packet_codec.h"
#include "protocol/packet_encoder.h"

namespace calyra::core {
namespace {

using packet_codec::compute_layout;
using packet_codec::decode_difference;
using packet_codec::decode_int24;

std::int32_t int24(std::uint32_t pattern) {
  const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(pattern), static_cast<std::uint8_t>(pattern >> 8),
                                 static_cast<std::uint8_t>(pattern >> 16)};
  return decode_int24(bytes);
}

TEST(PacketCodec, TwentyFourBitValuesUseTheHeadsetsNegativeForm) {
  EXPECT_EQ(int24(0x000000), 0);
  EXPECT_EQ(int24(0x000001), 1);
  EXPECT_EQ(int24(0x7FFFFF), 8388607);
  EXPECT_EQ(int24(0xFFFFFF), 0);  // 16777215 - 16777215
  EXPECT_EQ(int24(0x800000), -8388607);
  EXPECT_EQ(int24(0xFFFFFE), -1);
  EXPECT_EQ(int24(0x123456), 0x123456);
}

TEST(PacketCodec, DifferenceFieldsWithBothMasks) {
  // 12-bit difference size (mask 0x1FFF).
  EXPECT_EQ(decode_difference(0x000, 0x1FFF), 0);
  EXPECT_EQ(decode_difference(0x001, 0x1FFF), 4);
  EXPECT_EQ(decode_difference(0x7FF, 0x1FFF), 8188);
  EXPECT_EQ(decode_difference(0x800, 0x1FFF), -8191);
  EXPECT_EQ(decode_difference(0xFFF, 0x1FFF), -3);
  EXPECT_EQ(decode_difference(0x801, 0x1FFF), -8187);
  // 11-bit difference size (mask 0xFFF): only the low 10 bits count.
  EXPECT_EQ(decode_difference(0x3FF, 0xFFF), 4092);
  EXPECT_EQ(decode_difference(0x400, 0xFFF), 0);
  EXPECT_EQ(decode_difference(0x800, 0xFFF), -4095);
  EXPECT_EQ(decode_difference(0xFFF, 0xFFF), 4 * 0x3FF - 4095);
}

TEST(PacketCodec, DifferenceDecodingInvertsTheEncoderForEveryField) {
  for (const std::uint8_t bits : {std::uint8_t{11}, std::uint8_t{12}}) {
    const std::int32_t mask = bits == 12 ? 0x1FFF : 0xFFF;
    for (std::int32_t wanted = -9000; wanted <= 9000; wanted += 7) {
      const auto code = protocol::encode_difference(wanted, bits);
      EXPECT_EQ(decode_difference(code.field, mask), code.represented) << wanted << " bits " << int{bits};
    }
  }
}

TEST(PacketCodec, LayoutMatchesTheEncoderForEveryModelShape) {
  for (std::uint8_t code = 0; code <= capabilities::max_model_code; ++code) {
    const auto* model = capabilities::for_model_code(code);
    ASSERT_NE(model, nullptr);
    const protocol::packet_shape shape{model->electrode_count(), model->samples_per_packet(),
                                       model->sample_difference_size(), model->has_accel()};
    for (const bool impedance : {false, true}) {
      for (std::size_t streamed = 1; streamed <= shape.electrode_count; ++streamed) {
        std::vector<std::uint8_t> electrodes;
        for (std::size_t i = 0; i < streamed; ++i) electrodes.push_back(static_cast<std::uint8_t>(i));
        const protocol::packet_encoder encoder(shape, electrodes, impedance);
        const std::size_t size = encoder.payload_size();
        const auto layout = compute_layout(size, streamed, shape.electrode_count, shape.has_accel, impedance,
                                           shape.samples_per_packet);
        ASSERT_TRUE(layout) << "model " << int{code} << " L " << streamed;
        EXPECT_EQ(layout->samples, shape.samples_per_packet) << "model " << int{code} << " L " << streamed;
        const std::size_t status_bytes = (shape.electrode_count + 7) / 8;
        EXPECT_EQ(layout->status_offset, size - 5 - status_bytes);
        EXPECT_EQ(layout->counter_offset, size - 5);
        if (shape.has_accel) {
          EXPECT_EQ(layout->accel_offset, size - 5 - status_bytes - 6);
        }
      }
    }
  }
}

TEST(PacketCodec, PayloadsThatCannotBeDecodedAreRejected) {
  // 4 electrodes with accelerometer: one sample of 2 electrodes needs
  // 6 + 1 + 11 bytes.
  EXPECT_TRUE(compute_layout(18, 2, 4, true, false, 10));
  EXPECT_EQ(compute_layout(18, 2, 4, true, false, 10)->samples, 1u);
  EXPECT_FALSE(compute_layout(17, 2, 4, true, false, 10));
  EXPECT_FALSE(compute_layout(0, 2, 4, true, false, 10));
  // Without accelerometer the trailer is 6 bytes shorter.
  EXPECT_TRUE(compute_layout(12, 2, 4, false, false, 10));
  EXPECT_FALSE(compute_layout(11, 2, 4, false, false, 10));
  // No streamed electrode: nothing to decode, whatever the size.
  EXPECT_FALSE(compute_layout(500, 0, 4, true, false, 10));
}

TEST(PacketCodec, OnlyExactLengthsOfOneToTheModelsSampleCountAreDecoded) {
  // 3 electrodes: every later sample adds 4.5 bytes, so lengths alternate
  // between 4 and 5 bytes apart; the lengths between are not packets.
  for (std::size_t samples = 1; samples <= 10; ++samples) {
    const std::size_t size = packet_codec::payload_size(samples, 3, 4, true, false);
    ASSERT_TRUE(compute_layout(size, 3, 4, true, false, 10)) << samples;
    EXPECT_EQ(compute_layout(size, 3, 4, true, false, 10)->samples, samples);
    EXPECT_FALSE(compute_layout(size + 1, 3, 4, true, false, 10)) << samples;
  }
  // One sample more than the model sends is not a packet of that model.
  EXPECT_FALSE(compute_layout(packet_codec::payload_size(11, 3, 4, true, false), 3, 4, true, false, 10));
  // Impedance mode: 9 bytes per sample.
  EXPECT_TRUE(compute_layout(9 * 2 + 12, 3, 4, true, true, 10));
  EXPECT_FALSE(compute_layout(9 * 2 + 12 + 4, 3, 4, true, true, 10));
}

TEST(PacketCodec, HalfPrecisionConversion) {
  EXPECT_EQ(float16_to_float(0x3C00), 1.0f);
  EXPECT_EQ(float16_to_float(0x4000), 2.0f);
  EXPECT_EQ(float16_to_float(0xC000), -2.0f);
  EXPECT_EQ(float16_to_float(0x3555), 0.333251953125f);
  EXPECT_EQ(float16_to_float(0x7BFF), 65504.0f);
  // Signed zeros.
  EXPECT_EQ(float16_to_float(0x0000), 0.0f);
  EXPECT_FALSE(std::signbit(float16_to_float(0x0000)));
  EXPECT_TRUE(std::signbit(float16_to_float(0x8000)));
  // Subnormals are normalised.
  EXPECT_EQ(float16_to_float(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(float16_to_float(0x03FF), std::ldexp(1023.0f, -24));
  EXPECT_EQ(float16_to_float(0x8200), -std::ldexp(1.0f, -15));
  // Exponent 31 is a finite number, not infinity or NaN.
  EXPECT_EQ(float16_to_float(0x7C00), 65536.0f);
  EXPECT_EQ(float16_to_float(0xFE00), -98304.0f);
}

TEST(PacketCodec, GainConversionsThroughTheCApi) {
  const int multipliers[] = {1, 2, 4, 6, 8, 12};
  for (int mode = 0; mode < 6; ++mode) EXPECT_EQ(cy_gain_mode_to_multiplier(static_cast<cy_gain_mode>(mode)), multipliers[mode]);
  EXPECT_EQ(cy_gain_mode_to_multiplier(6), 0);
  EXPECT_EQ(cy_gain_mode_to_multiplier(255), 0);
  EXPECT_EQ(cy_multiplier_to_gain_mode(4), CY_GAIN_X4);
  EXPECT_EQ(cy_multiplier_to_gain_mode(6), CY_GAIN_X6);
  EXPECT_EQ(cy_multiplier_to_gain_mode(8), CY_GAIN_X8);
  EXPECT_EQ(cy_multiplier_to_gain_mode(12), CY_GAIN_X12);
  for (const int other : {0, 1, 2, 3, 5, 16, -8}) EXPECT_EQ(cy_multiplier_to_gain_mode(other), CY_GAIN_NONE) << other;
  // Upload and decoding scale a mode without multiplier as 8.
  EXPECT_EQ(effective_gain_multiplier(static_cast<gain_mode>(9)), 8);
  EXPECT_EQ(effective_gain_multiplier(gain_mode::X12), 12);
}

TEST(ArrivalFit, EvenlySpacedArrivalsGiveOriginZeroForAnyPeriod) {
  for (const std::int64_t period : {1, 7, 16, 40, 123}) {
    std::array<std::int64_t, arrival_fit_points> t{};
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = period * static_cast<std::int64_t>(i + 1);
    EXPECT_EQ(fit_stream_time_origin(t), 0.0) << period;
  }
}

TEST(ArrivalFit, ALateStartShiftsTheOriginAndTheMeanIsAnIntegerQuotient) {
  std::array<std::int64_t, arrival_fit_points> t{};
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = 40 * static_cast<std::int64_t>(i + 1) + 25;
  EXPECT_DOUBLE_EQ(fit_stream_time_origin(t), 25.0);
  // Sum 1 + 0 * 10 = 1: the mean truncates to 0. sxy = (1 - 0) * (16 - 96).
  std::array<std::int64_t, arrival_fit_points> one{};
  one[0] = 1;
  EXPECT_DOUBLE_EQ(fit_stream_time_origin(one), 0.0 - (-80.0 / 28160.0) * 96.0);
}

}  // namespace
}  // namespace calyra::core
