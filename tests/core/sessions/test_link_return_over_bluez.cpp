// The link that drops and comes back, through the library's BlueZ backend
// and calyra-fake-bluez (its DropLinkFor control, and drop_every with
// down_ms): the same scenario as with the in-process virtual headsets.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "cycore.h"
#include "cycore_virtual.h"
#include "link_return.h"
#include "private_bus.h"
#include "runtime/library_fixture.h"
#include "simulator/device_config.h"

namespace calyra::test {
namespace {

const std::string devices =
    "CY BACK 1,model=4,clock_ppm=400;CY BACK 2,model=4,paired=1;"
    "CY FLAKY 1,model=4,paired=1,drop_every=0.3,down_ms=1500,seed=3";

struct bus_and_fake {
  std::unique_ptr<private_bus> bus;
  std::unique_ptr<fake_bluez_process> fake;
  std::string failure;
};

class LinkReturnOverBluez : public core::testing::LibraryTest {
 protected:
  static void SetUpTestSuite() {
    try {
      suite.bus = std::make_unique<private_bus>();
      suite.fake = std::make_unique<fake_bluez_process>(devices);
    } catch (const std::exception& e) {
      suite.failure = e.what();
    }
  }
  static void TearDownTestSuite() {
    suite.fake.reset();
    suite.bus.reset();
  }
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_TRUE(suite.failure.empty()) << suite.failure;
    ::unsetenv("CYCORE_BLE_BACKEND");
    sysfs = std::make_unique<enabled_adapter_sysfs>();
    cy_core_config config = logging_config();
    config.log_level = CY_LOG_LEVEL_INFO;
    init_with(config);
    m = cy_eeg_manager_new();
  }
  void TearDown() override {
    cy_eeg_manager_free(m);
    cy_virtual_reset();
    LibraryTest::TearDown();
    sysfs.reset();
  }

  static bus_and_fake suite;
  std::unique_ptr<enabled_adapter_sysfs> sysfs;
  cy_eeg_manager* m = nullptr;
};

bus_and_fake LinkReturnOverBluez::suite;

TEST_F(LinkReturnOverBluez, AHeadsetDroppedForAWhileIsUnreachableThenStreamsAnewOnItsRunningClock) {
  link_return_scenario scenario;
  scenario.name = "CY BACK 1";
  // A search over BlueZ lasts 50 scans of 100 ms: the outage outlasts one.
  scenario.down = 7000ms;
  scenario.drop = [](std::chrono::milliseconds down) {
    return drop_link_for(simulator::address_from_name("CY BACK 1"), static_cast<std::uint32_t>(down.count()));
  };
  scenario.run(m);
}

// A paired headset is connected without waiting for its advertisements:
// BlueZ's Connect itself fails while it is out of reach.
TEST_F(LinkReturnOverBluez, APairedHeadsetOutOfReachFailsToConnect) {
  link_return_scenario scenario;
  scenario.name = "CY BACK 2";
  scenario.connect_while_down = CY_CONNECTION_ERROR;
  scenario.drop = [](std::chrono::milliseconds down) {
    return drop_link_for(simulator::address_from_name("CY BACK 2"), static_cast<std::uint32_t>(down.count()));
  };
  scenario.run(m);
}

TEST_F(LinkReturnOverBluez, DropEveryEndsLinksOnItsOwnAndDownMsKeepsTheHeadsetAway) {
  expect_links_lost_on_their_own(m, "CY FLAKY 1", CY_CONNECTION_ERROR);
}

}  // namespace
}  // namespace calyra::test
