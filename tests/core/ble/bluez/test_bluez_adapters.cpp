// Several adapters on the fake BlueZ: their order (by number, not by name),
// connecting through the first one that is on, CYCORE_BLE_ADAPTER, and an
// adapter that is off reported as BLUETOOTH_DISABLED with its name.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ble/ble_error.h"
#include "ble/bluez/bluez_backend.h"
#include "cycore.h"
#include "private_bus.h"
#include "runtime/library_fixture.h"

namespace calyra::test {
namespace {

namespace ble = core::ble;

const std::string kestrel = "CY KESTREL 5,model=4,address=C0:00:00:00:00:05,pace=fast";

class BluezAdapters : public core::testing::LibraryTest {
 protected:
  void start(std::vector<std::string> arguments) {
    bus = std::make_unique<private_bus>();
    fake = std::make_unique<fake_bluez_process>(kestrel, std::move(arguments));
    ::unsetenv("CYCORE_BLE_BACKEND");
    sysfs = std::make_unique<enabled_adapter_sysfs>();
    init();
  }
  void init() {
    cy_core_config config = logging_config();
    config.autoflush = true;
    init_with(config);
  }
  void free_managers() {
    for (cy_eeg_manager* m : managers) cy_eeg_manager_free(m);
    managers.clear();
  }
  void TearDown() override {
    free_managers();
    LibraryTest::TearDown();
    ::unsetenv("CYCORE_BLE_ADAPTER");
    sysfs.reset();
    fake.reset();
    bus.reset();
  }
  cy_error connect() {
    managers.push_back(cy_eeg_manager_new());
    return cy_eeg_manager_connect(managers.back(), "CY KESTREL 5", nullptr, nullptr);
  }
  bool logged(const std::string& text) {
    for (const std::string& line : log_lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  std::unique_ptr<private_bus> bus;
  std::unique_ptr<fake_bluez_process> fake;
  std::unique_ptr<enabled_adapter_sysfs> sysfs;
  std::vector<cy_eeg_manager*> managers;
};

TEST_F(BluezAdapters, AdaptersComeInNumberOrderAndOneThatIsOffRefusesToScan) {
  start({"--adapters", "hci10,hci2,hci1:off", "--devices-on", "hci2"});
  auto backend = ble::bluez::create_backend(true, nullptr);
  ASSERT_TRUE(backend);
  const auto adapters = backend->get_adapters();
  ASSERT_EQ(adapters.size(), 3u);
  EXPECT_EQ(adapters[0]->identifier(), "hci1");
  EXPECT_EQ(adapters[1]->identifier(), "hci2");
  EXPECT_EQ(adapters[2]->identifier(), "hci10");
  EXPECT_FALSE(adapters[0]->powered());
  EXPECT_TRUE(adapters[2]->powered());
  try {
    adapters[0]->scan_for(50);
    ADD_FAILURE() << "an adapter that is off scanned";
  } catch (const ble::adapter_off_error& e) {
    EXPECT_STREQ(e.what(), "Bluetooth adapter hci1 is off");
  }
}

TEST_F(BluezAdapters, ConnectUsesTheFirstAdapterThatIsOn) {
  start({"--adapters", "hci0:off,hci1", "--devices-on", "hci1"});
  EXPECT_EQ(connect(), CY_OK);
}

TEST_F(BluezAdapters, AScanOnAnAdapterThatIsOffIsBluetoothDisabledNamingIt) {
  start({"--adapters", "hci0:off,hci1", "--devices-on", "hci1"});
  cy_scan_entry* table = nullptr;
  std::uint64_t count = 0;
  EXPECT_EQ(cy_core_scan(&table, &count), CY_BLUETOOTH_DISABLED);
  EXPECT_TRUE(logged("[ERROR] Bluetooth adapter hci0 is off"));
}

TEST_F(BluezAdapters, TheEnvironmentChoosesTheAdapter) {
  ::setenv("CYCORE_BLE_ADAPTER", "hci0", 1);
  start({"--adapters", "hci0:off,hci1", "--devices-on", "hci1"});
  EXPECT_EQ(connect(), CY_BLUETOOTH_DISABLED);
  EXPECT_TRUE(logged("[ERROR] Bluetooth adapter hci0 is off"));

  free_managers();
  cy_core_close();
  ::setenv("CYCORE_BLE_ADAPTER", "hci1", 1);
  init();
  auto backend = ble::bluez::create_backend(true, nullptr);
  ASSERT_EQ(backend->get_adapters().size(), 1u);
  EXPECT_EQ(connect(), CY_OK);
}

}  // namespace
}  // namespace calyra::test
