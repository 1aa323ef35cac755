#include <gtest/gtest.h>

#include <stdexcept>

#include "cycore.h"
#include "library/version.h"

namespace calyra::core {
namespace {

::testing::AssertionResult is_version(const cy_version& v, int major, int minor, int patch) {
  if (v.major == major && v.minor == minor && v.patch == patch)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << get_version_string(v) << " instead of " << major << '.'
                                       << minor << '.' << patch;
}

TEST(Version, LibraryVersionIsStable) {
  const cy_version* v = cy_core_get_version();
  ASSERT_NE(v, nullptr);
  EXPECT_TRUE(is_version(*v, 3, 6, 1));
  EXPECT_EQ(cy_core_get_version(), v);
}

TEST(Version, Formatting) {
  EXPECT_EQ(get_version_string({3, 6, 1}), "3.6.1");
  EXPECT_EQ(get_version_string({10, 0, 255}), "10.0.255");
  EXPECT_EQ(get_version_string({0, 0, 0}), "0.0.0");
}

TEST(Version, ParsingKeepsLowBitsAndIgnoresExtraText) {
  EXPECT_TRUE(is_version(version_from_string("1.2.3"), 1, 2, 3));
  EXPECT_TRUE(is_version(version_from_string("1.2.300"), 1, 2, 44));
  EXPECT_TRUE(is_version(version_from_string("3.6.1.9"), 3, 6, 1));
  EXPECT_TRUE(is_version(version_from_string(" 2.0.7"), 2, 0, 7));
  EXPECT_TRUE(is_version(version_from_string("+2. 1.3rc1"), 2, 1, 3));
  EXPECT_TRUE(is_version(version_from_string("-1.0.0"), 255, 0, 0));
  EXPECT_TRUE(is_version(version_from_string("3.6.1\n"), 3, 6, 1));
}

TEST(Version, MissingPiecesRepeatTheLastOne) {
  EXPECT_TRUE(is_version(version_from_string("1.2"), 1, 2, 2));
  EXPECT_TRUE(is_version(version_from_string("3"), 3, 3, 3));
}

TEST(Version, UnparsablePiecesThrowLikeStoi) {
  for (const char* text : {"", "abc", "1..3", "1.2.", ".", "1.x.3", "v3.6.1"}) {
    try {
      version_from_string(text);
      ADD_FAILURE() << '"' << text << "\" parsed";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "stoi") << text;
    }
  }
  EXPECT_THROW(version_from_string("1.99999999999.0"), std::out_of_range);
}

TEST(Version, CompatibilityComparesMajorAndMinorOnly) {
  const cy_version v361{3, 6, 1}, v369{3, 6, 9}, v371{3, 7, 1}, v200{2, 0, 0}, v300{3, 0, 0},
      v461{4, 6, 1};
  EXPECT_TRUE(cy_is_version_compatible(&v361, &v369));
  EXPECT_TRUE(cy_is_version_compatible(&v369, &v361));
  EXPECT_FALSE(cy_is_version_compatible(&v361, &v371));
  EXPECT_FALSE(cy_is_version_compatible(&v371, &v361));
  EXPECT_FALSE(cy_is_version_compatible(&v200, &v300));
  EXPECT_FALSE(cy_is_version_compatible(&v361, &v461));
}

}  // namespace
}  // namespace calyra::core
