// A virtual headset's link drops and comes back, through the C API: by
// cy_virtual_drop_link_for, and on its own with drop_every and down_ms.
#include <gtest/gtest.h>

#include "cycore.h"
#include "cycore_virtual.h"
#include "link_return.h"
#include "runtime/library_fixture.h"

namespace calyra::test {
namespace {

class LinkReturn : public core::testing::LibraryTest {
 protected:
  void start(const char* devices) {
    cy_core_config config = logging_config();
    config.log_level = CY_LOG_LEVEL_INFO;
    init_with(config);
    ASSERT_EQ(cy_virtual_configure(devices), CY_OK);
    // A search lasts 50 scans of 5 ms: well inside the outage.
    ASSERT_EQ(cy_virtual_set_scan_scale(0.05), CY_OK);
  }
  void TearDown() override {
    if (m != nullptr) cy_eeg_manager_free(m);
    cy_virtual_reset();
    LibraryTest::TearDown();
  }
  cy_eeg_manager* m = nullptr;
};

TEST_F(LinkReturn, AHeadsetDroppedForAWhileIsUnreachableThenStreamsAnewOnItsRunningClock) {
  start("CY BACK 1,model=4,clock_ppm=400");
  m = cy_eeg_manager_new();
  link_return_scenario scenario;
  scenario.name = "CY BACK 1";
  scenario.drop = [](std::chrono::milliseconds down) {
    return cy_virtual_drop_link_for("CY BACK 1", static_cast<std::uint32_t>(down.count())) == CY_OK;
  };
  scenario.run(m);
}

TEST_F(LinkReturn, APairedHeadsetOutOfReachFailsToConnect) {
  start("CY BACK 2,model=4,paired=1");
  m = cy_eeg_manager_new();
  link_return_scenario scenario;
  scenario.name = "CY BACK 2";
  scenario.down = 1000ms;
  scenario.connect_while_down = CY_CONNECTION_ERROR;
  scenario.drop = [](std::chrono::milliseconds down) {
    return cy_virtual_drop_link_for("CY BACK 2", static_cast<std::uint32_t>(down.count())) == CY_OK;
  };
  scenario.run(m);
}

TEST_F(LinkReturn, DropEveryEndsLinksOnItsOwnAndDownMsKeepsTheHeadsetAway) {
  // A mean of 0.3 s of link; a search (about 0.25 s) ends well within the outage.
  start("CY FLAKY 1,model=4,drop_every=0.3,down_ms=1000,seed=3");
  m = cy_eeg_manager_new();
  expect_links_lost_on_their_own(m, "CY FLAKY 1", CY_DEVICE_NOT_FOUND);
}

}  // namespace
}  // namespace calyra::test
