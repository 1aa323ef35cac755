// Threads of the virtual link: pacing, loss, link drop, and the guarantee
// that no handler runs after its unsubscription returns.
#include <gtest/gtest.h>

#include <atomic>

#include "ble/ble_error.h"
#include "virtual_test_support.h"
#include "../protocol/reference_decoder.h"
#include "protocol/config_record.h"

namespace {

using namespace calyra::test;
using namespace calyra::core::ble;

const ByteArray start_command(1, '\x01');
const ByteArray stop_command(1, '\0');

std::uint32_t counter_of(const ByteArray& payload) {
  return reference_decode(payload, 4, 4, true, false).counter;
}

TEST(VirtualLink, RealtimePacingFollowsTheConfiguredRate) {
  headsets h("CY P 1");
  Peripheral p = h.get("CY P 1");
  p.connect();
  calyra::core::protocol::config_record record;
  record.gains = {8, 8, 8, 8};
  record.rate_code = 5;  // 500 Hz: a 50-sample packet every 100 ms
  write(p, role::stream_config, calyra::core::protocol::encode_config_record(record));
  collector c;
  subscribe(p, role::stream_data, c.callback());
  const auto started = std::chrono::steady_clock::now();
  write(p, role::stream_control, start_command);
  ASSERT_TRUE(c.wait_for(4));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, 380ms);
  EXPECT_LT(elapsed, 2s);
  EXPECT_EQ(c.threads().count(std::this_thread::get_id()), 0u);
}

TEST(VirtualLink, LossIsSeededAndShowsAsCounterGaps) {
  const auto counters = [](const std::string& list) {
    headsets h(list);
    Peripheral p = h.get("CY L 1");
    collector c;
    p.connect();
    subscribe(p, role::stream_data, c.callback());
    write(p, role::stream_control, start_command);
    EXPECT_TRUE(c.wait_for(30));
    unsubscribe(p, role::stream_data);
    const auto stats = h.backend.find("CY L 1")->link().stats();
    std::vector<std::uint32_t> out;
    for (const auto& payload : c.payloads()) out.push_back(counter_of(payload));
    out.resize(30);
    EXPECT_GT(stats.packets_lost, 0u);
    EXPECT_GE(stats.packets_sent, 30u);
    return out;
  };
  const auto first = counters("CY L 1,pace=fast,loss=0.4,seed=7");
  std::size_t gaps = 0;
  for (std::size_t i = 1; i < first.size(); ++i) {
    ASSERT_EQ((first[i] + 1) % 50, 0u);
    ASSERT_GT(first[i], first[i - 1]);
    gaps += first[i] - first[i - 1] != 50;
  }
  EXPECT_GT(gaps, 0u);
  EXPECT_EQ(counters("CY L 1,pace=fast,loss=0.4,seed=7"), first);
  EXPECT_NE(counters("CY L 1,pace=fast,loss=0.4,seed=8"), first);
}

TEST(VirtualLink, LinkDropFiresTheHookOnABackendThread) {
  headsets h("CY D 1,pace=fast,drop_after=3");
  Peripheral p = h.get("CY D 1");
  std::atomic<int> drops{0};
  std::atomic<bool> on_caller_thread{false};
  const auto caller = std::this_thread::get_id();
  collector c;
  p.connect();
  p.set_callback_on_disconnected([&] {
    on_caller_thread = std::this_thread::get_id() == caller;
    ++drops;
  });
  subscribe(p, role::stream_data, c.callback());
  write(p, role::stream_control, start_command);
  for (int i = 0; i < 200 && drops == 0; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(drops, 1);
  EXPECT_FALSE(on_caller_thread);
  EXPECT_EQ(c.payloads().size(), 3u);
  EXPECT_FALSE(p.is_connected());
  EXPECT_THROW(read(p, role::model_number), not_connected_error);

  // The headset can be reached again; a requested disconnect is no link loss.
  p.connect();
  EXPECT_EQ(read(p, role::model_number), "4");
  p.disconnect();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(drops, 1);
}

TEST(VirtualLink, NoHandlerRunsAfterUnsubscribeOrDisconnectReturns) {
  headsets h("CY U 1,pace=fast");
  Peripheral p = h.get("CY U 1");
  p.connect();
  write(p, role::stream_control, start_command);
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false};
    subscribe(p, role::stream_data, [&](const ByteArray&, std::int64_t) {
      inside = true;
      std::this_thread::sleep_for(100us);
      ++calls;
      inside = false;
    });
    // Remove the handler while it runs: the call must wait for it.
    while (calls < 3 || !inside) std::this_thread::yield();
    if (round % 2 == 0) {
      unsubscribe(p, role::stream_data);
    } else {
      p.disconnect();
    }
    EXPECT_FALSE(inside);
    const int seen = calls;
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(calls, seen) << "round " << round;
    if (round % 2 == 1) {
      p.connect();
      write(p, role::stream_control, start_command);
    }
  }
}

TEST(VirtualLink, CallbacksMayRemoveThemselvesWithoutDeadlock) {
  headsets h("CY S 1,pace=fast");
  Peripheral p = h.get("CY S 1");
  p.connect();
  std::atomic<int> calls{0};
  subscribe(p, role::stream_data, [&](const ByteArray&, std::int64_t) {
    ++calls;
    unsubscribe(p, role::stream_data);
  });
  std::atomic<int> drops{0};
  p.set_callback_on_disconnected([&] {
    ++drops;
    p.set_callback_on_disconnected({});
  });
  write(p, role::stream_control, start_command);
  for (int i = 0; i < 200 && calls == 0; ++i) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(calls, 1);

  ASSERT_TRUE(h.backend.find("CY S 1")->link().drop_link());
  for (int i = 0; i < 200 && drops == 0; ++i) std::this_thread::sleep_for(1ms);
  p.connect();
  ASSERT_TRUE(h.backend.find("CY S 1")->link().drop_link());
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(drops, 1);
}

TEST(VirtualLink, ReleasingTheLastHandleInsideACallbackIsSafe) {
  auto h = std::make_unique<headsets>("CY F 1,pace=fast");
  auto p = std::make_shared<Peripheral>(h->get("CY F 1"));
  p->connect();
  std::atomic<bool> released{false};
  std::shared_ptr<Peripheral> handle = p;
  subscribe(*p, role::stream_data, [&released, handle](const ByteArray&, std::int64_t) mutable {
    if (!released.exchange(true)) {
      handle.reset();
    }
  });
  write(*p, role::stream_control, start_command);
  // Drop the backend and our own handle: the subscription holds the last one.
  h.reset();
  p.reset();
  for (int i = 0; i < 200 && !released; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(released);
}

TEST(VirtualLink, OwnersKeepTheirOwnSubscriptionsLinkHoldsAndHooks) {
  headsets h("CY O 1,pace=fast");
  Peripheral first = h.get("CY O 1");
  Peripheral second = first.with_owner(calyra::core::ble::new_owner_token());
  first.connect();
  second.connect();
  collector first_payloads;
  collector second_payloads;
  subscribe(first, role::stream_data, first_payloads.callback());
  subscribe(second, role::stream_data, second_payloads.callback());
  write(first, role::stream_control, start_command);
  ASSERT_TRUE(first_payloads.wait_for(5));
  ASSERT_TRUE(second_payloads.wait_for(5));

  // One owner letting go touches nothing of the other's.
  unsubscribe(first, role::stream_data);
  first.disconnect();
  EXPECT_TRUE(second.is_connected());
  const std::size_t before = second_payloads.payloads().size();
  ASSERT_TRUE(second_payloads.wait_for(before + 5));

  // A link loss reaches each holder once; the earlier holder is not told.
  std::atomic<int> first_drops{0};
  std::atomic<int> second_drops{0};
  first.set_callback_on_disconnected([&] { ++first_drops; });
  second.set_callback_on_disconnected([&] { ++second_drops; });
  ASSERT_TRUE(h.backend.find("CY O 1")->link().drop_link());
  for (int i = 0; i < 500 && second_drops == 0; ++i) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(second_drops, 1);
  EXPECT_EQ(first_drops, 0);

  // The link closes on request only with its last holder.
  first.connect();
  second.connect();
  second.disconnect();
  EXPECT_TRUE(first.is_connected());
  first.disconnect();
  EXPECT_FALSE(first.is_connected());
}

}  // namespace
