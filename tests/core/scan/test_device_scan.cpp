// cy_core_scan through the public C API against virtual headsets.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fake_sysfs.h"
#include "cycore.h"
#include "cycore_virtual.h"

namespace {

using calyra::test::fake_sysfs;
using entry = std::pair<std::string, std::string>;

class DeviceScan : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("CYCORE_SYSFS_ROOT");
    ::unsetenv("CYCORE_BLE_BACKEND");
    ::unsetenv("CYCORE_VIRTUAL_DEVICES");
    log_path_ = std::filesystem::temp_directory_path() / ("cy_scan_" + std::to_string(::getpid()) + ".log");
  }
  void TearDown() override {
    cy_core_close();
    cy_virtual_reset();
    ::unsetenv("CYCORE_SYSFS_ROOT");
    ::unsetenv("CYCORE_BLE_BACKEND");
    std::filesystem::remove(log_path_);
  }

  // Initialises with bare log lines ("[LEVEL] body") going to a file.
  void init(std::uint8_t adapter_index = 0) {
    ASSERT_EQ(cy_core_init(), CY_OK);
    cy_core_config config;
    cy_core_get_config(&config);
    config.logging_enabled = true;
    config.autoflush = true;
    config.timestamps_enabled = false;
    config.thread_ids_enabled = false;
    config.adapter_index = adapter_index;
    std::snprintf(config.log_path, sizeof config.log_path, "%s", log_path_.c_str());
    ASSERT_EQ(cy_core_set_config(&config), CY_OK);
  }

  // Virtual headsets with instant scans, then initialisation.
  void init_with(const char* devices) {
    ASSERT_EQ(cy_virtual_configure(devices), CY_OK);
    ASSERT_EQ(cy_virtual_set_scan_scale(0.0), CY_OK);
    init();
  }

  std::vector<entry> scan() {
    cy_scan_entry* table = nullptr;
    std::uint64_t count = 0;
    EXPECT_EQ(cy_core_scan(&table, &count), CY_OK);
    last_table_ = table;
    std::vector<entry> out;
    for (std::uint64_t i = 0; i < count; ++i) out.emplace_back(table[i].name, table[i].address);
    return out;
  }

  bool logged(const std::string& line) {
    std::stringstream text;
    text << std::ifstream(log_path_).rdbuf();
    return ("\n" + text.str()).find("\n" + line + "\n") != std::string::npos;
  }

  std::filesystem::path log_path_;
  cy_scan_entry* last_table_ = nullptr;
};

TEST_F(DeviceScan, TheDefaultHeadsetsInAFullFiveSecondScan) {
  // The one test that waits for the real scan duration.
  ::setenv("CYCORE_BLE_BACKEND", "virtual", 1);
  init();
  const auto started = std::chrono::steady_clock::now();
  const auto found = scan();
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(5000));
  std::vector<std::string> names;
  for (const auto& [name, address] : found) {
    names.push_back(name);
    EXPECT_EQ(address.size(), 17u);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"CY WREN 1", "CY FINCH 2", "CY HERON 3", "CY PLOVER 4",
                                             "CY KESTREL 5", "CY KESTREL 6"}));
  EXPECT_TRUE(logged("[INFO] Bluetooth is enabled"));
  EXPECT_TRUE(logged("[INFO] Bluetooth adapter found"));
}

TEST_F(DeviceScan, ScaledScansStillLastTheirShare) {
  ASSERT_EQ(cy_virtual_configure("CY A 1"), CY_OK);
  ASSERT_EQ(cy_virtual_set_scan_scale(0.04), CY_OK);
  init();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(scan().size(), 1u);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
}

TEST_F(DeviceScan, OnlyWholeNamesMatchingThePatternAreListed) {
  init_with("CY KESTREL 12;cy ab 1;CY AB ;XCY AB 1;CY X 0042;CY AB 12 ;CY AB;CY Ab 1;CY AB 1x");
  std::vector<std::string> names;
  for (const auto& e : scan()) names.push_back(e.first);
  EXPECT_EQ(names, (std::vector<std::string>{"CY KESTREL 12", "CY AB ", "CY X 0042"}));
}

TEST_F(DeviceScan, PairedPeripheralsComeFirstWithoutDeduplication) {
  init_with("CY ADV 1;CY PAIRED 2,paired=1,advertising=0;CY BOTH 3,paired=1,address=0A:0B:0C:0D:0E:0F");
  const auto found = scan();
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].first, "CY PAIRED 2");
  EXPECT_EQ(found[1], entry("CY BOTH 3", "0A:0B:0C:0D:0E:0F"));
  EXPECT_EQ(found[2].first, "CY ADV 1");
  EXPECT_EQ(found[3], found[1]);
}

TEST_F(DeviceScan, TheTableIsNeverOverrunAndKeepsItsAddress) {
  const std::string long_name = "CY " + std::string(60, 'L') + " 7";
  std::string list = long_name + ",paired=1,advertising=0";
  for (int i = 1; i <= 205; ++i) list += ";CY DEV " + std::to_string(i);
  init_with(list.c_str());

  const auto found = scan();
  cy_scan_entry* const table = last_table_;
  ASSERT_EQ(found.size(), 200u);
  EXPECT_EQ(found[0].first, long_name.substr(0, 49));
  EXPECT_EQ(std::strlen(table[0].name), 49u);
  EXPECT_EQ(found[199].first, "CY DEV 199");

  // A second scan in the same initialisation rewrites the same table.
  ASSERT_EQ(cy_virtual_configure("CY NEW 1"), CY_OK);
  const auto again = scan();
  EXPECT_EQ(last_table_, table);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].first, "CY NEW 1");
  EXPECT_STREQ(table[1].name, "");
  EXPECT_STREQ(table[199].address, "");
}

TEST_F(DeviceScan, NothingFoundIsSuccessWithAWarning) {
  init_with("Other headset 1");
  EXPECT_TRUE(scan().empty());
  EXPECT_TRUE(logged("[WARNING] Calyra devices not found"));
}

TEST_F(DeviceScan, FailuresLeaveTheOutParametersUntouched) {
  auto* const sentinel = reinterpret_cast<cy_scan_entry*>(0x1234);
  cy_scan_entry* table = sentinel;
  std::uint64_t count = 77;
  EXPECT_EQ(cy_core_scan(&table, &count), CY_NOT_INITIALIZED);

  fake_sysfs blocked("scan_blocked");
  blocked.with_controller().with_switch("rfkill0", "bluetooth", "1", "0");
  ::setenv("CYCORE_SYSFS_ROOT", blocked.root().c_str(), 1);
  init_with("CY A 1");
  EXPECT_EQ(cy_core_scan(&table, &count), CY_BLUETOOTH_DISABLED);
  EXPECT_TRUE(logged("[ERROR] Bluetooth not enabled"));
  EXPECT_EQ(cy_core_scan(nullptr, &count), CY_PRECONDITION_FAILED);
  EXPECT_EQ(table, sentinel);
  EXPECT_EQ(count, 77u);
  cy_core_close();

  // Bluetooth on, but no adapter: the platform backend that does not exist yet.
  fake_sysfs enabled("scan_enabled");
  enabled.with_controller();
  ::setenv("CYCORE_SYSFS_ROOT", enabled.root().c_str(), 1);
  cy_virtual_reset();
  init();
  EXPECT_EQ(cy_core_scan(&table, &count), CY_ADAPTER_NOT_FOUND);
  EXPECT_TRUE(logged("[ERROR] Bluetooth adapter not found"));
  cy_core_close();

  ASSERT_EQ(cy_virtual_configure("CY A 1"), CY_OK);
  ASSERT_EQ(cy_virtual_set_scan_scale(0.0), CY_OK);
  init(1);
  EXPECT_EQ(cy_core_scan(&table, &count), CY_ADAPTER_INDEX_NOT_FOUND);
  EXPECT_TRUE(logged("[ERROR] Bluetooth adapter with index 1 not found."));
  EXPECT_EQ(table, sentinel);
  EXPECT_EQ(count, 77u);
}

// One lookup for every host: exact name, then any case, then the address;
// otherwise the nearest name when it is a likely typo.
TEST_F(DeviceScan, AHeadsetIsFoundByNameInAnyCaseOrByAddress) {
  init_with("CY KESTREL 5;cy kestrel 5,address=0A:0B:0C:0D:0E:0F;CY FINCH 2,address=AA:BB:CC:DD:EE:01");
  ASSERT_EQ(scan().size(), 2u) << "the lower-case name does not match the naming pattern";
  const cy_scan_entry* found = nullptr;
  const char* nearest = "untouched";
  ASSERT_EQ(cy_core_find_headset("CY KESTREL 5", &found, &nearest), CY_OK);
  EXPECT_STREQ(found->name, "CY KESTREL 5");
  EXPECT_EQ(nearest, nullptr);
  ASSERT_EQ(cy_core_find_headset("cy finch 2", &found, nullptr), CY_OK);
  EXPECT_STREQ(found->name, "CY FINCH 2");
  ASSERT_EQ(cy_core_find_headset("aa:bb:cc:dd:ee:01", &found, nullptr), CY_OK);
  EXPECT_STREQ(found->name, "CY FINCH 2");

  EXPECT_EQ(cy_core_find_headset("CY KESTRL 5", &found, &nearest), CY_DEVICE_NOT_FOUND);
  EXPECT_STREQ(nearest, "CY KESTREL 5");
  EXPECT_NE(std::string(cy_core_last_error_text()).find("did you mean \"CY KESTREL 5\""), std::string::npos);
  EXPECT_EQ(cy_core_find_headset("MY OTHER DEVICE", &found, &nearest), CY_DEVICE_NOT_FOUND);
  EXPECT_EQ(nearest, nullptr) << "too far to be a typo";
  EXPECT_NE(std::string(cy_core_last_error_text()).find("\"CY FINCH 2\""), std::string::npos)
      << "the names seen, when none is near";
  EXPECT_EQ(cy_core_find_headset(nullptr, &found, nullptr), CY_PRECONDITION_FAILED);
  cy_core_close();
  EXPECT_EQ(cy_core_find_headset("CY FINCH 2", &found, nullptr), CY_NOT_INITIALIZED);
}

}  // namespace
