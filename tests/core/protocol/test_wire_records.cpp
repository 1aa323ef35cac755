// GATT map lookups, the configuration record and the battery layouts.
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <set>

#include "protocol/battery_layout.h"
#include "protocol/config_record.h"
#include "protocol/gatt_map.h"

namespace {

using namespace calyra::core;

TEST(GattMap, EveryRoleResolvesToADistinctWellFormedUuidAndBack) {
  std::set<std::string> characteristics;
  for (std::size_t i = 0; i < gatt::role_count; ++i) {
    const auto role = static_cast<gatt::role>(i);
    const gatt::uuid_pair pair = gatt::uuids(role);
    for (const std::string* uuid : {&pair.service, &pair.characteristic}) {
      ASSERT_EQ(uuid->size(), 36u) << *uuid;
      for (std::size_t c = 0; c < uuid->size(); ++c) {
        if (c == 8 || c == 13 || c == 18 || c == 23)
          EXPECT_EQ((*uuid)[c], '-');
        else
          EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>((*uuid)[c])) &&
                      !std::isupper(static_cast<unsigned char>((*uuid)[c])));
      }
    }
    EXPECT_TRUE(characteristics.insert(pair.characteristic).second) << gatt::role_name(role);
    EXPECT_EQ(gatt::role_from_name(gatt::role_name(role)), role);
    EXPECT_EQ(gatt::role_from_uuids(pair.service, pair.characteristic), role);
  }
  EXPECT_FALSE(gatt::role_from_name("stream"));
  EXPECT_FALSE(gatt::role_from_uuids(gatt::uuids(gatt::role::stream_data).service,
                                     gatt::uuids(gatt::role::ota_data).characteristic));
}

TEST(GattMap, ToHexIsSixteenUpperCaseDigits) {
  EXPECT_EQ(gatt::to_hex(255), "00000000000000FF");
  EXPECT_EQ(gatt::to_hex(0), "0000000000000000");
  EXPECT_EQ(gatt::to_hex(0xDEADBEEFCAFEF00Dull), "DEADBEEFCAFEF00D");
}

TEST(ConfigRecord, LayoutForEveryElectrodeCount) {
  // Eight electrodes at X8, electrodes 1 and 2 in the bias set, 250 Hz.
  protocol::config_record record;
  record.gains.assign(8, 8);
  record.bias_mask = 0b11;
  record.rate_code = 6;
  const std::string bytes = protocol::encode_config_record(record);
  EXPECT_EQ(bytes, std::string("\0\x08\x08\x08\x08\x08\x08\x08\x08\x03\x06", 11));

  EXPECT_EQ(protocol::config_record_size(4), 7u);
  EXPECT_EQ(protocol::config_record_size(16), 20u);
  EXPECT_EQ(protocol::config_record_size(32), 38u);

  protocol::config_record wide;
  wide.impedance_mode = 3;
  wide.gains.assign(32, 0);
  wide.gains[31] = 12;
  wide.bias_mask = 0x80000001u;
  wide.rate_code = 5;
  const auto back = protocol::decode_config_record(protocol::encode_config_record(wide), 32);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->impedance_mode, 3);
  EXPECT_EQ(back->gains, wide.gains);
  EXPECT_EQ(back->bias_mask, wide.bias_mask);
  EXPECT_EQ(back->rate_code, 5);
  EXPECT_FALSE(protocol::decode_config_record(bytes, 4));
}

// Half precision to single, written from the IEEE layout for the test.
float half_to_float(std::uint16_t h) {
  const int exponent = (h >> 10) & 0x1F;
  const int fraction = h & 0x3FF;
  const float sign = (h & 0x8000) ? -1.0f : 1.0f;
  if (exponent == 0) return sign * std::ldexp(static_cast<float>(fraction), -24);
  return sign * std::ldexp(1.0f + fraction / 1024.0f, exponent - 15);
}

TEST(BatteryLayout, HalfFloatsAreNearestAndNeverInfinite) {
  EXPECT_EQ(protocol::float_to_half(1.0f), 0x3C00);
  EXPECT_EQ(protocol::float_to_half(2.0f), 0x4000);
  EXPECT_EQ(protocol::float_to_half(-0.125f), 0xB000);
  EXPECT_EQ(protocol::float_to_half(0.0f), 0x0000);
  EXPECT_EQ(protocol::float_to_half(1e9f), 0x7BFF);
  EXPECT_EQ(protocol::float_to_half(-1e9f), 0xFBFF);
  EXPECT_EQ(protocol::float_to_half(std::ldexp(1.0f, -24)), 0x0001);
  // Magnitudes from 2^-25 to beyond the largest half, both signs.
  for (int i = 0; i < 42 * 97; ++i) {
    for (float sign : {1.0f, -1.0f}) {
      const float v = sign * std::ldexp(1.0f + static_cast<float>(i % 97) / 97.0f, i / 97 - 25);
      const float back = half_to_float(protocol::float_to_half(v));
      const float expected = std::fmin(std::fabs(v), 65504.0f);
      const float tolerance = std::fmax(expected / 2048.0f, 0x1.0p-25f);
      ASSERT_LE(std::fabs(expected - std::fabs(back)), tolerance) << v;
      ASSERT_EQ(std::signbit(back), std::signbit(v)) << v;
    }
  }
}

TEST(BatteryLayout, StatusEnergyAndHealthBytes) {
  const std::string charging = protocol::encode_battery_status(80, true, protocol::charge_state_charging);
  ASSERT_EQ(charging.size(), 4u);
  EXPECT_EQ(static_cast<std::uint8_t>(charging[1]), 0x23);  // present, charger, state 1
  EXPECT_EQ(static_cast<std::uint8_t>(charging[3]), 80);
  const std::string resting = protocol::encode_battery_status(5, false, protocol::charge_state_discharging);
  EXPECT_EQ(static_cast<std::uint8_t>(resting[1]), 0x41);
  EXPECT_EQ(protocol::encode_battery_energy(1.0f, 2.0f), std::string("\0\x00\x3C\x00\x40", 5));
  EXPECT_EQ(protocol::encode_battery_health(100), std::string("\x01\x64", 2));
}

}  // namespace
