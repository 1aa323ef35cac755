// The capability queries as a host sees them: only the shipped library and
// its public header.
#include <gtest/gtest.h>

#include "cycore.h"

namespace {

const cy_device_features* features_of(std::uint8_t id) {
  cy_device_info info{};
  info.id = id;
  return cy_core_device_features_get(&info);
}

TEST(DeviceFeaturesApi, AnswersForEveryModelCode) {
  struct row {
    std::uint8_t id;
    bool accel, gyro;
    std::uint8_t electrodes;
  };
  const row rows[] = {{0, true, false, 8},  {1, true, false, 16}, {2, true, false, 32},
                      {3, true, true, 4},   {4, true, false, 4},  {5, false, false, 4}};
  for (const auto& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.id));
    const cy_device_features* f = features_of(r.id);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f, features_of(r.id)) << "one instance per model";
    EXPECT_EQ(cy_core_device_features_has_accel(f), r.accel);
    EXPECT_EQ(cy_core_device_features_has_gyro(f), r.gyro);
    EXPECT_FALSE(cy_core_device_features_is_bipolar(f));
    EXPECT_EQ(cy_core_device_features_electrode_count(f), r.electrodes);
    EXPECT_TRUE(cy_core_device_features_supports_ota(f));
  }
}

TEST(DeviceFeaturesApi, UnknownModelsGiveNull) {
  EXPECT_EQ(features_of(6), nullptr);
  EXPECT_EQ(features_of(255), nullptr);
  EXPECT_EQ(cy_core_device_features_get(nullptr), nullptr);
}

}  // namespace
