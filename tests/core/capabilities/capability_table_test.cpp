// The capability table of every model, the model-code lookup and the motion
// conversions to the last float bit.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <set>

#include "capabilities/device_features.h"

namespace calyra::core::capabilities {
namespace {

struct expected_row {
  const char* model;
  const device_features_internal* instance;
  bool gyro, accel, bipolar, rate_500, rate_250;
  std::uint8_t electrodes, samples_per_packet, difference_bits;
  bool ota;
  std::uint8_t extension_chips;
};

const wren_1_0_0 base_model;

TEST(CapabilityTable, EveryModelAnswersItsRow) {
  const expected_row rows[] = {
      {"wren_1_0_0", &base_model, false, true, false, true, true, 8, 30, 12, false, 1},
      {"wren_1_0_1", for_model_code(0), false, true, false, true, true, 8, 30, 12, true, 1},
      {"finch", for_model_code(1), false, true, false, false, true, 16, 15, 12, true, 3},
      {"heron", for_model_code(2), false, true, false, false, true, 32, 10, 12, true, 3},
      {"plover", for_model_code(3), true, true, false, true, true, 4, 10, 12, true, 0},
      {"kestrel", for_model_code(4), false, true, false, true, true, 4, 50, 12, true, 0},
      {"kestrel_v2", for_model_code(5), false, false, false, true, true, 4, 50, 12, true, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.model);
    ASSERT_NE(row.instance, nullptr);
    const auto& f = *row.instance;
    EXPECT_EQ(f.has_gyro(), row.gyro);
    EXPECT_EQ(f.has_accel(), row.accel);
    EXPECT_EQ(f.is_bipolar(), row.bipolar);
    EXPECT_EQ(f.is_sample_rate_available(data_stream_rate::HZ_500), row.rate_500);
    EXPECT_EQ(f.is_sample_rate_available(data_stream_rate::HZ_250), row.rate_250);
    for (auto fast : {data_stream_rate::HZ_16000, data_stream_rate::HZ_8000,
                      data_stream_rate::HZ_4000, data_stream_rate::HZ_2000,
                      data_stream_rate::HZ_1000, static_cast<data_stream_rate>(7),
                      static_cast<data_stream_rate>(255)}) {
      EXPECT_FALSE(f.is_sample_rate_available(fast)) << static_cast<int>(fast);
    }
    EXPECT_EQ(f.electrode_count(), row.electrodes);
    EXPECT_EQ(f.samples_per_packet(), row.samples_per_packet);
    EXPECT_EQ(f.sample_difference_size(), row.difference_bits);
    EXPECT_EQ(f.supports_ota(), row.ota);
    EXPECT_EQ(f.expected_extension_chip_count(), row.extension_chips);
  }
}

TEST(CapabilityTable, OnlyCodesUpToFiveSelectAModel) {
  // Each model code has its own instance, the same one on every call.
  std::set<const device_features_internal*> instances;
  for (std::uint8_t code = 0; code <= max_model_code; ++code) {
    const device_features_internal* f = for_model_code(code);
    ASSERT_NE(f, nullptr) << int{code};
    EXPECT_EQ(for_model_code(code), f) << int{code};
    instances.insert(f);
  }
  EXPECT_EQ(instances.size(), std::size_t{max_model_code} + 1);
  for (int code = 6; code <= 255; ++code) {
    EXPECT_EQ(for_model_code(static_cast<std::uint8_t>(code)), nullptr) << code;
  }
}

// Reference bit patterns computed independently, rounding to single precision
// after every step of the documented formulas.
struct conversion_case {
  std::int16_t raw;
  std::uint32_t accel_3_9_milli_g, accel_4_g, gyro_250_dps;
};
constexpr conversion_case conversion_cases[] = {
    {1000, 0x4218fbd7, 0x3f993a9a, 0x3e085a96},   {1, 0x3d1ca7c6, 0x3a9ce80a, 0x390ba058},
    {-1, 0xbd1ca7c6, 0xba9ce80a, 0xb90ba058},     {32767, 0x449ca68c, 0x421ce6d0, 0x408b9f41},
    {-32768, 0xc49ca7c6, 0xc21ce80a, 0xc08ba058}, {12345, 0x43ec12b2, 0x416c738c, 0x3fd2693a},
    {-517, 0xc19e2f68, 0xbf1e704e, 0xbd8cfd69},   {0, 0, 0, 0},
};

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

TEST(CapabilityConversions, MatchTheReferenceToTheLastBit) {
  for (const auto& c : conversion_cases) {
    SCOPED_TRACE(c.raw);
    for (std::uint8_t code = 0; code <= max_model_code; ++code) {
      const auto& f = *for_model_code(code);
      if (code == 3) {
        EXPECT_EQ(bits(f.convert_accel(c.raw)), c.accel_4_g);
        EXPECT_EQ(bits(f.convert_gyro(c.raw)), c.gyro_250_dps);
      } else {
        EXPECT_EQ(bits(f.convert_accel(c.raw)), c.accel_3_9_milli_g) << int(code);
        EXPECT_EQ(bits(f.convert_gyro(c.raw)), 0u) << int(code);
      }
    }
  }
  // The published figures, as a reader of the data sheet would check them.
  EXPECT_FLOAT_EQ(for_model_code(4)->convert_accel(1000), 38.245937f);
  EXPECT_FLOAT_EQ(for_model_code(3)->convert_accel(1000), 1.1971009f);
  EXPECT_FLOAT_EQ(for_model_code(3)->convert_gyro(32767), 4.3631902f);
}

}  // namespace
}  // namespace calyra::core::capabilities
