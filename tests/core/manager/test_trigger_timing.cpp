// The stream clock against a "photodiode": a virtual headset with a drifting
// crystal and a realistic radio streams in real time, its trigger input
// fires at random moments, and each moment, placed by the clock, must land
// on the pulse the headset put into E1. Also what cy_virtual_trigger answers
// when it cannot fire.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "chunk_recorder.h"
#include "trigger_timing.h"
#include "virtual_fixture.h"

namespace calyra::core {
namespace {

using namespace std::chrono_literals;

class TriggerTiming : public testing::VirtualHeadsetTest {};

TEST_F(TriggerTiming, TheStreamClockPlacesEveryTriggerOnItsPulse) {
  start_library(testing::timing_device, CY_LOG_LEVEL_INFO);
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY PLOVER 4", nullptr, nullptr), CY_OK);
  const auto e1 = static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT);
  cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_SAMPLE_NUMBER, true);
  cy_eeg_manager_set_channel_enabled(m, e1, true);
  cy_eeg_manager_set_channel_gain(m, e1, CY_GAIN_X12);  // the pulse must fit one difference at the largest gain
  ASSERT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
  testing::chunk_recorder recorder;
  recorder.attach(m);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  const auto started = std::chrono::steady_clock::now();
  const auto e1_index = static_cast<std::size_t>(cy_eeg_manager_get_channel_index(m, e1));

  // The clock needs the phase between packets and connection events to
  // sweep once (about 5 s at 2000 ppm) to find the lower envelope.
  std::this_thread::sleep_until(started + 10s);
  const auto calls = testing::fire_triggers(20, [] { ASSERT_EQ(cy_virtual_trigger("CY PLOVER 4"), CY_OK); });
  std::this_thread::sleep_for(300ms);  // the last pulse's packets arrive
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);

  const auto pulses = testing::find_pulses(recorder.sample_numbers(), recorder.channel(e1_index));
  testing::expect_triggers_on_pulses(m, calls, pulses);
  cy_clock_info info{};
  ASSERT_EQ(cy_eeg_manager_get_clock_info(m, &info), CY_OK);
  EXPECT_NEAR(info.drift_ppm, 2000.0, 300.0);  // the crystal, seen through 20 s of radio
}

// Marks placed at the moment of the event, as a host places them: with
// 50-sample packets at an 11.25 ms interval from 10 s into the stream, and
// again 2 s after a restart of the same headset (its drift carries over).
TEST_F(TriggerTiming, MarksPlacedOnlineLandFromTenSecondsAndRightAfterARestart) {
  start_library(testing::timing_device_50, CY_LOG_LEVEL_INFO);
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  const auto e1 = static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT);
  testing::chunk_recorder recorder;
  recorder.attach(m);
  std::size_t e1_index = 0;
  // A stop resets the stream settings: each start sets them again.
  const auto start = [&] {
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_SAMPLE_NUMBER, true);
    cy_eeg_manager_set_channel_enabled(m, e1, true);
    cy_eeg_manager_set_channel_gain(m, e1, CY_GAIN_X12);
    ASSERT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
    ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    e1_index = static_cast<std::size_t>(cy_eeg_manager_get_channel_index(m, e1));
  };
  const auto fire = [] { ASSERT_EQ(cy_virtual_trigger("CY KESTREL 5"), CY_OK); };
  const auto place = [m](testing::trigger_call& call) {
    ASSERT_EQ(cy_eeg_manager_sample_at(m, call.before_ns, &call.placed_at), CY_OK);
  };

  start();
  std::this_thread::sleep_for(10s);
  const auto before = testing::fire_triggers(10, fire, place);
  std::this_thread::sleep_for(500ms);  // the last pulse's packets arrive
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  start();
  std::this_thread::sleep_for(2s);
  const auto after = testing::fire_triggers(10, fire, place, 7);
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);

  const auto pulses = testing::find_pulses(recorder.sample_numbers(), recorder.channel(e1_index));
  ASSERT_EQ(pulses.size(), before.size() + after.size());
  testing::expect_placed_online(before, {pulses.begin(), pulses.begin() + 10}, "from 10 s");
  testing::expect_placed_online(after, {pulses.begin() + 10, pulses.end()}, "2 s after the restart");
}

TEST_F(TriggerTiming, ATriggerNeedsAKnownStreamingHeadset) {
  start_library("CY KESTREL 5,pace=fast");
  EXPECT_EQ(cy_virtual_trigger("CY NOBODY 9"), CY_DEVICE_NOT_FOUND);
  EXPECT_EQ(cy_virtual_trigger(nullptr), CY_PRECONDITION_FAILED);
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_virtual_trigger("CY KESTREL 5"), CY_NOT_STREAMING);
  EXPECT_EQ(lines_with("[ERROR] cy_virtual_trigger: CY NOBODY 9: no such virtual headset").size(), 1u);
  EXPECT_EQ(lines_with("[ERROR] cy_virtual_trigger: CY KESTREL 5: the headset is not streaming").size(), 1u);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_virtual_trigger("CY KESTREL 5"), CY_OK);
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_virtual_trigger("CY KESTREL 5"), CY_NOT_STREAMING);
}

}  // namespace
}  // namespace calyra::core
