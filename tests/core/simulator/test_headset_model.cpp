#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

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
  explicit streaming(const std::string& entry, clock::time_point begin = clock::now())
      : model(one(entry), 500us), t0(begin) {
    EXPECT_TRUE(model.connect(t0));
    model.set_notifying(role::stream_data, true, t0);
    model.write(role::stream_control, start, t0);
  }
  headset_model model;
  clock::time_point t0;
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

TEST(HeadsetModel, WithItsOwnClockTheHeadsetSendsALateHostEverythingItMissed) {
  streaming h("CY P 1,model=4,clock_ppm=1000");
  const clock::time_point first = *h.model.next_due_time();
  // 50 samples per packet at 250 Hz on a crystal 1000 ppm fast.
  const auto period = std::chrono::duration<double>(0.2 / 1.001);
  EXPECT_NEAR(std::chrono::duration<double>(first - h.t0).count(), period.count(), 1e-9);
  const auto out = h.model.due_notifications(h.t0 + 10s);
  EXPECT_EQ(out.notifications.size(), static_cast<std::size_t>(10.0 / period.count()));
  EXPECT_NEAR(std::chrono::duration<double>(*h.model.next_due_time() - h.t0).count(),
              (static_cast<double>(out.notifications.size()) + 1.0) * period.count(), 1e-6);
}

// Electrode 0's raw values in stream packets of a PLOVER (4 electrodes streamed).
std::vector<std::int32_t> electrode_0(const std::vector<notification>& packets) {
  std::vector<std::int32_t> out;
  for (const notification& n : packets) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(n.payload.at(i)); };
    const std::uint32_t pattern = byte(0) | byte(1) << 8 | byte(2) << 16;
    std::int32_t value = pattern >= 0x800000 ? static_cast<std::int32_t>(pattern) - 0xFFFFFF : static_cast<std::int32_t>(pattern);
    out.push_back(value);
    for (std::size_t field = 0; field < 9 * 4; ++field) {
      const std::size_t bit = 12 * 8 + 12 * field;
      const std::uint32_t two = byte(bit / 8) << 8 | byte(bit / 8 + 1);
      const std::uint32_t r = (two >> (4 - bit % 8)) & 0xFFF;
      const std::int32_t m = static_cast<std::int32_t>(r & 0x7FF);
      if (field % 4 == 0) out.push_back(value += (r & 0x800) ? 4 * m - 0x1FFF : 4 * m);
    }
  }
  return out;
}

TEST(HeadsetModel, ATriggerMarksTheSampleTakenAtThatMomentByTheHeadsetsClock) {
  const std::string entry = "CY P 1,model=3,clock_ppm=2000,interval_ms=30,delay_ms=3";
  streaming marked(entry), plain(entry, marked.t0);
  EXPECT_TRUE(marked.model.trigger(marked.t0 + 1013ms));
  // Sample n is taken (n + 1) periods of the fast crystal after the start.
  const double ns_per_sample = 4e6 / 1.002;
  const auto expected = static_cast<std::size_t>(std::ceil(1013e6 / ns_per_sample - 1.0));
  const auto with = electrode_0(marked.model.due_notifications(marked.t0 + 3s).notifications);
  const auto without = electrode_0(plain.model.due_notifications(marked.t0 + 3s).notifications);
  ASSERT_EQ(with.size(), without.size());
  ASSERT_GT(with.size(), expected + 20);
  // 300 uV at gain 8: 300e-6 * 8 / 4.5 * 8388607 counts, within the differences' rounding.
  for (std::size_t s = 0; s < with.size(); ++s) {
    const bool pulse = s >= expected && s < expected + 10;
    ASSERT_NEAR(with[s] - without[s], pulse ? 4474 : 0, 4) << "sample " << s;
  }

  headset_model idle(one(entry), 0ns);
  ASSERT_TRUE(idle.connect(clock::now()));
  EXPECT_FALSE(idle.trigger(clock::now()));  // not streaming
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
  ASSERT_TRUE(model.connect(now));
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
  ASSERT_TRUE(model.connect(clock::now()));
  EXPECT_EQ(reason(role::serial_number), gatt_error::kind::failing_role);
  EXPECT_EQ(reason(role::stream_control), gatt_error::kind::rejected);
}

}  // namespace

namespace {

TEST(HeadsetModel, DropEveryLosesTheLinkAtSeededRandomTimesAndDownMsKeepsTheHeadsetAway) {
  const std::string entry = "CY R 1,drop_every=2,down_ms=500,seed=5";
  const auto outages = [&](headset_model& model) {
    std::vector<clock::duration> links;
    clock::time_point now = clock::time_point{} + 1h;
    for (int i = 0; i < 300; ++i) {
      EXPECT_TRUE(model.connect(now));
      const clock::time_point drop = *model.next_due_time();
      EXPECT_FALSE(model.due_notifications(drop - 1ns).link_lost);
      EXPECT_TRUE(model.due_notifications(drop).link_lost);
      EXPECT_FALSE(model.connected());
      EXPECT_FALSE(model.advertising(drop + 499ms));
      EXPECT_FALSE(model.connect(drop + 499ms));
      EXPECT_TRUE(model.advertising(drop + 500ms));
      links.push_back(drop - now);
      now = drop + 500ms;
    }
    return links;
  };
  headset_model a(one(entry), 0ns), b(one(entry), 0ns);
  const std::vector<clock::duration> links = outages(a);
  EXPECT_EQ(links, outages(b));  // the same seed, the same losses
  double mean_s = 0.0;
  for (clock::duration d : links) mean_s += std::chrono::duration<double>(d).count() / links.size();
  EXPECT_NEAR(mean_s, 2.0, 0.3);
}

TEST(HeadsetModel, AfterALossNothingIsBufferedAndANewStartBeginsAtSampleZeroAtItsOwnTime) {
  streaming h("CY R 1,model=4,clock_ppm=1000");
  const std::chrono::duration<double> period(0.2 / 1.001);
  const std::vector<notification> first = h.model.due_notifications(h.t0 + 1s).notifications;
  ASSERT_EQ(first.size(), 5u);
  h.model.lose_link(h.t0 + 1s, 2s);
  EXPECT_FALSE(h.model.next_due_time().has_value());
  EXPECT_FALSE(h.model.connect(h.t0 + 2s));
  const clock::time_point back = h.t0 + 3s;
  ASSERT_TRUE(h.model.connect(back));
  EXPECT_FALSE(h.model.next_due_time().has_value());  // no stream without a new start
  h.model.write(role::stream_control, start, back);
  // Sampling starts again at the start command on the headset's clock: the
  // first packet is ready one packet time later and repeats the first one
  // sent (its counter and signal begin at sample 0 again).
  const clock::time_point due = *h.model.next_due_time();
  EXPECT_NEAR(std::chrono::duration<double>(due - back).count(), period.count(), 1e-6);
  const std::vector<notification> again = h.model.due_notifications(due).notifications;
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].payload, first[0].payload);
}

}  // namespace
