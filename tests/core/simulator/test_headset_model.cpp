#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "protocol/commands.h"
#include "simulator/gatt_error.h"
#include "simulator/headset_model.h"

namespace {

using namespace calyra::simulator;
using namespace std::chrono_literals;
using calyra::core::gatt::role;

device_config one(const std::string& entry) { return parse_device_list(entry).at(0); }

const std::string start(1, static_cast<char>(calyra::core::protocol::stream_start_command));

// A connected headset with stream_data enabled and a start command written at t0.
struct streaming {
  explicit streaming(const std::string& entry) : model(one(entry), 500us) {
    model.connect(t0);
    model.set_notifying(role::stream_data, true, t0);
    model.write(role::stream_control, start, t0);
  }
  headset_model model;
  clock::time_point t0 = clock::now();
};

TEST(HeadsetModel, PacketsAreDueOnePacketTimeApartAndALateHostGetsNoBurst) {
  streaming h("CY P 1,model=4");
  const clock::time_point first = *h.model.next_due_time();
  const clock::duration period = first - h.t0;
  ASSERT_GT(period, 0ns);
  EXPECT_TRUE(h.model.due_notifications(first - 1ns).notifications.empty());
  EXPECT_EQ(h.model.due_notifications(first + 2 * period).notifications.size(), 3u);
  EXPECT_EQ(*h.model.next_due_time(), first + 3 * period);
  // Ten seconds late: a packet or two, not ten seconds' worth.
  EXPECT_LE(h.model.due_notifications(first + 10s).notifications.size(), 2u);
}

TEST(HeadsetModel, DropAfterEndsTheLinkWithTheLastPacket) {
  streaming h("CY D 1,pace=fast,drop_after=3");
  std::size_t sent = 0;
  bool lost = false;
  for (int i = 1; i <= 10 && !lost; ++i) {
    const auto out = h.model.due_notifications(h.t0 + i * 1ms);
    sent += out.notifications.size();
    lost = out.link_lost;
  }
  EXPECT_EQ(sent, 3u);
  EXPECT_TRUE(lost);
  EXPECT_FALSE(h.model.connected());
  EXPECT_FALSE(h.model.next_due_time().has_value());
}

TEST(HeadsetModel, LostPacketsAdvanceTheCounterWithoutBeingSent) {
  streaming h("CY L 1,pace=fast,loss=0.5,seed=7");
  std::size_t sent = 0;
  for (int i = 1; i <= 200; ++i) sent += h.model.due_notifications(h.t0 + i * 1ms, 1).notifications.size();
  const model_stats s = h.model.stats();
  EXPECT_EQ(s.packets_sent + s.packets_lost, 200u);
  EXPECT_EQ(s.packets_sent, sent);
  EXPECT_GT(s.packets_lost, 50u);
}

TEST(HeadsetModel, AnswersAreDueAtOnceAndOnlyWhenEnabled) {
  headset_model model(one("CY A 1"), 0ns);
  const clock::time_point now = clock::now();
  model.connect(now);
  model.set_battery(40, false);  // battery_status not enabled: nothing is sent
  EXPECT_FALSE(model.next_due_time().has_value());
  model.set_notifying(role::battery_status, true, now);
  model.set_battery(41, true);
  model.set_battery(42, true);  // supersedes the change not yet sent
  ASSERT_TRUE(model.next_due_time().has_value());
  EXPECT_LE(*model.next_due_time(), now);
  const auto out = model.due_notifications(now);
  ASSERT_EQ(out.notifications.size(), 1u);
  EXPECT_EQ(out.notifications[0].role, role::battery_status);
  EXPECT_EQ(static_cast<std::uint8_t>(out.notifications[0].payload.at(3)), 42);  // the level byte
}

TEST(HeadsetModel, FailuresSayWhy) {
  headset_model model(one("CY F 1,fail=serial_number"), 0ns);
  const auto reason = [&](role r) {
    try {
      model.read(r);
    } catch (const gatt_error& e) {
      return e.reason;
    }
    ADD_FAILURE() << "no failure";
    return gatt_error::kind::rejected;
  };
  EXPECT_EQ(reason(role::serial_number), gatt_error::kind::not_connected);
  model.connect(clock::now());
  EXPECT_EQ(reason(role::serial_number), gatt_error::kind::failing_role);
  EXPECT_EQ(reason(role::stream_control), gatt_error::kind::rejected);
}

}  // namespace
