// Threads of the virtual link: pacing, loss, link drop, and releasing the
// last handle inside a callback. The owner rules (holders, hooks,
// subscriptions) are checked for every backend in test_owner_rules.cpp.
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

}  // namespace
