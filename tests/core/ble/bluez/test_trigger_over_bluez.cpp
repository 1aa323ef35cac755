// The stream clock against a "photodiode" over the BlueZ backend:
// calyra-fake-bluez streams a headset with a drifting crystal and a
// realistic radio, its Trigger() fires at random moments, and each moment,
// placed by the library's clock, must land on the pulse in E1. Trigger()
// refuses a headset that does not stream.
#include <gtest/gtest.h>

#include <sdbus-c++/Error.h>

#include <chrono>
#include <memory>
#include <thread>

#include "cycore.h"
#include "manager/chunk_recorder.h"
#include "manager/trigger_timing.h"
#include "private_bus.h"
#include "runtime/library_fixture.h"
#include "simulator/device_config.h"

namespace calyra::test {
namespace {

using namespace std::chrono_literals;

class TriggerOverBluez : public core::testing::LibraryTest {
 protected:
  static void SetUpTestSuite() {
    try {
      bus = std::make_unique<private_bus>();
      fake = std::make_unique<fake_bluez_process>(std::string(core::testing::timing_device) + ";" +
                                                  core::testing::timing_device_50);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  static void TearDownTestSuite() {
    fake.reset();
    bus.reset();
  }
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_TRUE(failure.empty()) << failure;
    ::unsetenv("CYCORE_BLE_BACKEND");
    sysfs = std::make_unique<enabled_adapter_sysfs>();
    cy_core_config config = logging_config();
    config.autoflush = true;
    config.log_level = CY_LOG_LEVEL_INFO;
    init_with(config);
  }
  void TearDown() override {
    if (manager) cy_eeg_manager_free(manager);
    LibraryTest::TearDown();
    sysfs.reset();
  }

  static std::unique_ptr<private_bus> bus;
  static std::unique_ptr<fake_bluez_process> fake;
  static std::string failure;
  std::unique_ptr<enabled_adapter_sysfs> sysfs;
  cy_eeg_manager* manager = nullptr;
};

std::unique_ptr<private_bus> TriggerOverBluez::bus;
std::unique_ptr<fake_bluez_process> TriggerOverBluez::fake;
std::string TriggerOverBluez::failure;

TEST_F(TriggerOverBluez, TheStreamClockPlacesEveryTriggerOnItsPulse) {
  manager = cy_eeg_manager_new();
  ASSERT_EQ(cy_eeg_manager_connect(manager, "CY PLOVER 4", nullptr, nullptr), CY_OK);
  trigger_line line(simulator::address_from_name("CY PLOVER 4"));
  try {
    line.fire();
    ADD_FAILURE() << "Trigger() succeeded without a stream";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), "org.calyra.Error.NotStreaming");
  }

  const auto e1 = static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT);
  cy_eeg_manager_set_channel_enabled(manager, CY_CHANNEL_SAMPLE_NUMBER, true);
  cy_eeg_manager_set_channel_enabled(manager, e1, true);
  cy_eeg_manager_set_channel_gain(manager, e1, CY_GAIN_X12);
  ASSERT_EQ(cy_eeg_manager_load_config(manager, nullptr, nullptr), CY_OK);
  core::testing::chunk_recorder recorder;
  recorder.attach(manager);
  ASSERT_EQ(cy_eeg_manager_start_stream(manager, nullptr, nullptr), CY_OK);
  const auto started = std::chrono::steady_clock::now();
  const auto e1_index = static_cast<std::size_t>(cy_eeg_manager_get_channel_index(manager, e1));

  // Two sweeps of the phase between packets and connection events (5 s
  // each at 2000 ppm): the host's delivery jitter of the D-Bus path needs
  // more low points than the in-process headsets.
  std::this_thread::sleep_until(started + 15s);
  const auto calls = core::testing::fire_triggers(15, [&] { line.fire(); });
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(cy_eeg_manager_stop_stream(manager, nullptr, nullptr), CY_OK);

  const auto pulses = core::testing::find_pulses(recorder.sample_numbers(), recorder.channel(e1_index));
  core::testing::expect_triggers_on_pulses(manager, calls, pulses);
  cy_clock_info info{};
  ASSERT_EQ(cy_eeg_manager_get_clock_info(manager, &info), CY_OK);
  EXPECT_NEAR(info.drift_ppm, 2000.0, 300.0);
}

// Marks placed at the moment of the event over D-Bus: 50-sample packets at
// a connection interval the packet period is not a multiple of, from 10 s
// into the stream and 2 s after a restart of the same headset.
TEST_F(TriggerOverBluez, MarksPlacedOnlineLandFromTenSecondsAndRightAfterARestart) {
  manager = cy_eeg_manager_new();
  ASSERT_EQ(cy_eeg_manager_connect(manager, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  trigger_line line(simulator::address_from_name("CY KESTREL 5"));
  const auto e1 = static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT);
  core::testing::chunk_recorder recorder;
  recorder.attach(manager);
  std::size_t e1_index = 0;
  // A stop resets the stream settings: each start sets them again.
  const auto start = [&] {
    cy_eeg_manager_set_channel_enabled(manager, CY_CHANNEL_SAMPLE_NUMBER, true);
    cy_eeg_manager_set_channel_enabled(manager, e1, true);
    cy_eeg_manager_set_channel_gain(manager, e1, CY_GAIN_X12);
    ASSERT_EQ(cy_eeg_manager_load_config(manager, nullptr, nullptr), CY_OK);
    ASSERT_EQ(cy_eeg_manager_start_stream(manager, nullptr, nullptr), CY_OK);
    e1_index = static_cast<std::size_t>(cy_eeg_manager_get_channel_index(manager, e1));
  };
  const auto place = [this](core::testing::trigger_call& call) {
    ASSERT_EQ(cy_eeg_manager_sample_at(manager, call.before_ns, &call.placed_at), CY_OK);
  };

  start();
  std::this_thread::sleep_for(10s);
  const auto before = core::testing::fire_triggers(10, [&] { line.fire(); }, place);
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(cy_eeg_manager_stop_stream(manager, nullptr, nullptr), CY_OK);
  start();
  std::this_thread::sleep_for(2s);
  const auto after = core::testing::fire_triggers(10, [&] { line.fire(); }, place, 7);
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(cy_eeg_manager_stop_stream(manager, nullptr, nullptr), CY_OK);

  const auto pulses = core::testing::find_pulses(recorder.sample_numbers(), recorder.channel(e1_index));
  ASSERT_EQ(pulses.size(), before.size() + after.size());
  core::testing::expect_placed_online(before, {pulses.begin(), pulses.begin() + 10}, "from 10 s");
  core::testing::expect_placed_online(after, {pulses.begin() + 10, pulses.end()}, "2 s after the restart");
}

}  // namespace
}  // namespace calyra::test
