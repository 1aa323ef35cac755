// The owner table on its own: queued delivery (a bus event loop that never
// waits) and delivery on the caller's thread (a radio thread of the backend).
// The owner rules through real backends are in test_owner_rules.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "ble/owner_table.h"

namespace {

using namespace std::chrono_literals;
using calyra::core::ble::ByteArray;
using calyra::core::ble::owner_table;
using delivery = owner_table::delivery;

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(OwnerTable, QueuedNotificationsBeforeALossStillArriveButNotAfterTheNextLink) {
  owner_table table("test device", delivery::queued);
  table.hold(1);
  std::atomic<bool> release_first{false};
  std::atomic<int> calls{0};
  table.subscribe(1, "k", [&](const ByteArray&, std::int64_t) {
    while (!release_first) std::this_thread::sleep_for(1ms);
    ++calls;
  });
  std::atomic<int> lost{0};
  table.set_hook(1, [&] { ++lost; });
  table.deliver("k", "a", 0);
  table.deliver("k", "b", 0);
  table.call_hooks(table.lose_link());
  EXPECT_FALSE(table.has_subscribers("k"));
  EXPECT_EQ(table.subscribers("k").size(), 1u);  // the ended one, for the socket's backlog
  EXPECT_EQ(table.holder_count(), 0u);
  release_first = true;
  ASSERT_TRUE(eventually([&] { return lost == 1; }));
  EXPECT_EQ(calls, 2);  // both before the hook

  // What is queued when the next link opens belongs to the old one.
  table.subscribe(2, "k", [&](const ByteArray&, std::int64_t) { ++calls; });
  table.link_opened();
  EXPECT_EQ(table.subscribers("k").size(), 1u);
}

TEST(OwnerTable, OnTheCallersThreadEverySubscriberRunsBeforeDeliverReturns) {
  owner_table table("test device", delivery::on_caller);
  int first = 0, second = 0;
  std::thread::id ran_on;
  table.subscribe(1, "k", [&](const ByteArray&, std::int64_t) {
    ++first;
    ran_on = std::this_thread::get_id();
    table.unsubscribe(2, "k");  // another owner's, from inside: skipped at once
  });
  table.subscribe(2, "k", [&](const ByteArray&, std::int64_t) { ++second; });
  table.deliver("k", "x", 0);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(ran_on, std::this_thread::get_id());

  table.hold(1);
  table.hold(2);
  int lost = 0;
  table.set_hook(1, [&] { ++lost; });
  table.set_hook(2, [&] { ++lost; });
  EXPECT_TRUE(table.release(2));
  EXPECT_FALSE(table.release(2));
  table.call_hooks(table.lose_link());
  EXPECT_EQ(lost, 1);  // the owner that let go is not told
  table.deliver("k", "y", 0);
  EXPECT_EQ(first, 1);  // the subscription ended with the link
}

TEST(OwnerTable, ANotificationSentBeforeAnUnsubscribeIsDeliveredFirst) {
  // What the headset sent counts as delivered: an unsubscribe that comes
  // between the sending (claim) and the call waits for the call.
  owner_table table("test device", delivery::on_caller);
  std::atomic<int> calls{0};
  table.subscribe(1, "k", [&](const ByteArray&, std::int64_t) { ++calls; });
  const owner_table::claimed sent = table.claim("k", "x", 0);
  std::atomic<bool> unsubscribed{false};
  std::thread other([&] {
    table.unsubscribe(1, "k");
    unsubscribed = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(unsubscribed);
  table.run(sent);
  other.join();
  EXPECT_EQ(calls, 1);
  table.deliver("k", "y", 0);
  EXPECT_EQ(calls, 1);
}

TEST(OwnerTable, ReplacingASubscriptionWaitsForItsRunningCall) {
  owner_table table("test device", delivery::queued);
  std::atomic<bool> inside{false}, finished{false};
  table.subscribe(1, "k", [&](const ByteArray&, std::int64_t) {
    inside = true;
    std::this_thread::sleep_for(50ms);
    finished = true;
  });
  table.deliver("k", "x", 0);
  ASSERT_TRUE(eventually([&] { return inside.load(); }));
  const auto replacement = table.subscribe(1, "k", [](const ByteArray&, std::int64_t) {});
  EXPECT_TRUE(finished);
  EXPECT_TRUE(table.is_current(1, "k", replacement));
  table.drop(1, "k", replacement);
  EXPECT_FALSE(table.has_subscribers("k"));
}

}  // namespace
