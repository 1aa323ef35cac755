#include <gtest/gtest.h>

#include <cstdlib>

#include "ble/backend.h"
#include "fake_sysfs.h"
#include "cycore_virtual.h"
#include "scan/bluetooth_status.h"

namespace {

using namespace calyra::core;
using calyra::test::fake_sysfs;

TEST(BluetoothStatus, NoHardwareWhenTheClassIsMissingOrEmpty) {
  fake_sysfs missing("missing");
  EXPECT_EQ(bluetooth::read_status(missing.root()), bluetooth::no_hardware);
  fake_sysfs empty("empty");
  empty.with_empty_bluetooth_class().with_switch("rfkill0", "bluetooth", "0", "0");
  EXPECT_EQ(bluetooth::read_status(empty.root()), bluetooth::no_hardware);
}

TEST(BluetoothStatus, TheBluetoothSwitchDecides) {
  const struct {
    const char* soft;
    const char* hard;
    bluetooth::status expected;
  } cases[] = {
      {"0", "0", bluetooth::enabled},
      {"1", "0", bluetooth::blocked},
      {"0", "1", bluetooth::blocked},
      {"1", "1", bluetooth::blocked},
      {"x", "0", bluetooth::blocked},  // unreadable values count as blocking
      {"0", "", bluetooth::blocked},   // a missing value too
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("soft ") + c.soft + " hard " + c.hard);
    fake_sysfs tree("switch");
    tree.with_controller().with_switch("rfkill0", "wlan", "1", "1").with_switch("rfkill1", "bluetooth", c.soft, c.hard);
    EXPECT_EQ(bluetooth::read_status(tree.root()), c.expected);
  }
}

TEST(BluetoothStatus, EnabledWithoutABluetoothSwitch) {
  fake_sysfs other("other");
  other.with_controller().with_switch("rfkill0", "wlan", "1", "1").with_switch("rfkill1", "bluetoothish", "1", "1");
  EXPECT_EQ(bluetooth::read_status(other.root()), bluetooth::enabled);
  fake_sysfs empty("norfkill");
  empty.with_controller().with_empty_rfkill_class();
  EXPECT_EQ(bluetooth::read_status(empty.root()), bluetooth::enabled);
  fake_sysfs absent("absent");
  absent.with_controller();
  EXPECT_EQ(bluetooth::read_status(absent.root()), bluetooth::enabled);
}

TEST(BluetoothStatus, RootFromTheEnvironmentElseVirtualIsEnabled) {
  fake_sysfs blocked("env");
  blocked.with_controller().with_switch("rfkill0", "bluetooth", "1", "0");
  ASSERT_EQ(cy_virtual_configure(nullptr), CY_OK);
  ::setenv("CYCORE_SYSFS_ROOT", blocked.root().c_str(), 1);
  EXPECT_EQ(bluetooth::current_status(), bluetooth::blocked);
  ::unsetenv("CYCORE_SYSFS_ROOT");
  EXPECT_EQ(bluetooth::current_status(), bluetooth::enabled);
  cy_virtual_reset();
}

}  // namespace
