// The owner rules of ble/backend.h, one suite for every backend: the virtual
// headsets in-process, and BlueZ over calyra-fake-bluez on a private bus.
// Several owners hold one link and it closes with the last; each holder
// hears of a loss once; subscriptions are per owner; a callback may remove
// itself; letting go removes an owner's callbacks, and none runs after the
// call that removed it returned.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "bluez_test_support.h"
#include "virtual_test_support.h"

namespace calyra::test {
namespace {

using namespace std::chrono_literals;
namespace ble = core::ble;

const std::string address = "C0:00:00:00:00:21";
const std::string device = "CY RULES 1,model=4,address=" + address + ",pace=fast";
const ByteArray start_command(1, '\x01');

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The virtual backend, in this process.
struct virtual_side {
  static void start() {}
  static void stop() {}
  static std::string failure() { return {}; }
  virtual_side() : h(device) {}
  std::shared_ptr<PeripheralBackend> peripheral() { return h.backend.find("CY RULES 1"); }
  bool drop() { return h.backend.find("CY RULES 1")->link().drop_link(); }
  bool device_connected() { return h.backend.find("CY RULES 1")->link().stats().connected; }
  headsets h;
};

// BlueZ: calyra-fake-bluez presents the same headset on a private bus.
struct bluez_side {
  static suite_bus& bus() {
    static suite_bus instance;
    return instance;
  }
  static void start() { bus().start(device); }
  static void stop() { bus().stop(); }
  static std::string failure() { return bus().failure; }
  bluez_side() {
    backend = ble::bluez::create_backend(true, nullptr);
    if (!backend || backend->get_adapters().empty()) return;
    adapter = backend->get_adapters().at(0);
    adapter->scan_for(100);
  }
  std::shared_ptr<PeripheralBackend> peripheral() {
    if (!adapter) return nullptr;
    for (auto& p : adapter->scan_get_results())
      if (p->address() == address) return p;
    return nullptr;
  }
  bool drop() { return drop_link(address); }
  bool device_connected() { return stats_of(address).connected; }
  std::shared_ptr<ble::Backend> backend;
  std::shared_ptr<ble::AdapterBackend> adapter;
};

template <class Side>
class OwnerRules : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Side::start(); }
  static void TearDownTestSuite() { Side::stop(); }
  void SetUp() override {
    ASSERT_TRUE(Side::failure().empty()) << Side::failure();
    side = std::make_unique<Side>();
    p = side->peripheral();
    ASSERT_TRUE(p) << "the headset is not found";
  }
  void TearDown() override {
    // Whatever a failed test left held.
    for (const ble::owner_token owner : {a, b, c})
      if (p) p->disconnect(owner);
    p.reset();
    side.reset();
  }

  std::unique_ptr<Side> side;
  std::shared_ptr<PeripheralBackend> p;
  const ble::owner_token a = ble::new_owner_token();
  const ble::owner_token b = ble::new_owner_token();
  const ble::owner_token c = ble::new_owner_token();
  // What callbacks touch lives as long as the fixture: TearDown lets go of
  // the owners, after the test body's locals are gone.
  collector first, second;
  std::atomic<int> calls{0}, lost_a{0}, lost_b{0}, lost_c{0};
  std::atomic<bool> inside{false}, on_test_thread{false};
};

using sides = ::testing::Types<virtual_side, bluez_side>;
class side_names {
 public:
  template <class Side>
  static std::string GetName(int) {
    return std::is_same_v<Side, virtual_side> ? "Virtual" : "Bluez";
  }
};
TYPED_TEST_SUITE(OwnerRules, sides, side_names);

TYPED_TEST(OwnerRules, TheLinkClosesOnlyWithItsLastHolder) {
  auto& p = *this->p;
  p.connect(this->a);
  p.connect(this->b);
  p.connect(this->b);  // holding twice is holding once
  p.disconnect(this->a);
  EXPECT_TRUE(p.is_connected());
  EXPECT_TRUE(this->side->device_connected());
  EXPECT_EQ(read(p, role::model_number), "4");
  p.disconnect(this->a);  // a second let-go of the same owner changes nothing
  EXPECT_TRUE(p.is_connected());
  p.disconnect(this->b);
  EXPECT_FALSE(p.is_connected());
  EXPECT_FALSE(this->side->device_connected());
}

TYPED_TEST(OwnerRules, EachHolderHearsOfALossOncePerLossOnABackendThread) {
  auto& p = *this->p;
  auto& lost_a = this->lost_a;
  auto& lost_b = this->lost_b;
  auto& lost_c = this->lost_c;
  auto& on_test_thread = this->on_test_thread;
  const auto test_thread = std::this_thread::get_id();
  p.connect(this->a);
  p.connect(this->b);
  p.connect(this->c);
  p.set_callback_on_disconnected(this->a, [&] {
    on_test_thread = on_test_thread || std::this_thread::get_id() == test_thread;
    ++lost_a;
  });
  p.set_callback_on_disconnected(this->b, [&] { ++lost_b; });
  p.set_callback_on_disconnected(this->c, [&] { ++lost_c; });
  p.disconnect(this->c);  // let go before the loss: not told, and its hook is gone
  auto& packets = this->first;
  subscribe(p, this->a, role::stream_data, packets.callback());
  write(p, role::stream_control, start_command);
  ASSERT_TRUE(packets.wait_for(5));

  for (int loss = 1; loss <= 2; ++loss) {
    ASSERT_TRUE(this->side->drop());
    ASSERT_TRUE(eventually([&] { return lost_a == loss && lost_b == loss; })) << "loss " << loss;
    const std::size_t after_loss = packets.payloads().size();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(packets.payloads().size(), after_loss);  // the subscription ended with the link
    EXPECT_EQ(lost_a, loss);
    EXPECT_EQ(lost_b, loss);
    EXPECT_FALSE(p.is_connected());
    EXPECT_THROW(read(p, role::model_number), ble::not_connected_error);
    // The hooks stay for the next link; c holds again but has no hook.
    p.connect(this->a);
    p.connect(this->b);
    p.connect(this->c);
  }
  EXPECT_FALSE(on_test_thread);
  EXPECT_EQ(lost_c, 0);

  // A requested disconnect is no link loss.
  p.disconnect(this->a);
  p.disconnect(this->b);
  p.disconnect(this->c);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(lost_a, 2);
  EXPECT_EQ(lost_b, 2);
}

TYPED_TEST(OwnerRules, OneOwnersUnsubscribeLeavesAnothersSubscription) {
  auto& p = *this->p;
  p.connect(this->a);
  p.connect(this->b);
  auto& first = this->first;
  auto& second = this->second;
  subscribe(p, this->a, role::stream_data, first.callback());
  subscribe(p, this->b, role::stream_data, second.callback());
  write(p, role::stream_control, start_command);
  ASSERT_TRUE(first.wait_for(10));
  ASSERT_TRUE(second.wait_for(10));
  EXPECT_NE(*first.threads().begin(), std::this_thread::get_id());

  unsubscribe(p, this->a, role::stream_data);
  const std::size_t stopped_at = first.payloads().size();
  const std::size_t b_now = second.payloads().size();
  ASSERT_TRUE(second.wait_for(b_now + 20));
  EXPECT_EQ(first.payloads().size(), stopped_at);  // nothing after unsubscribe returned
  const auto both = second.payloads();
  const auto mine = first.payloads();
  EXPECT_TRUE(std::equal(mine.begin(), mine.end(), both.begin()));  // the same stream
}

TYPED_TEST(OwnerRules, ACallbackMayRemoveItselfWithoutDeadlock) {
  auto& p = *this->p;
  p.connect(this->a);
  auto& calls = this->calls;
  auto& lost = this->lost_a;
  subscribe(p, this->a, role::stream_data, [&](const ByteArray&, std::int64_t) {
    ++calls;
    unsubscribe(p, this->a, role::stream_data);
  });
  p.set_callback_on_disconnected(this->a, [&] {
    ++lost;
    p.set_callback_on_disconnected(this->a, {});
  });
  write(p, role::stream_control, start_command);
  ASSERT_TRUE(eventually([&] { return calls >= 1; }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(calls, 1);

  ASSERT_TRUE(this->side->drop());
  ASSERT_TRUE(eventually([&] { return lost == 1; }));
  p.connect(this->a);
  ASSERT_TRUE(this->side->drop());
  ASSERT_TRUE(eventually([&] { return !p.is_connected(); }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(lost, 1);
}

TYPED_TEST(OwnerRules, LettingGoEndsTheOwnersCallbacksEvenWhileOneRuns) {
  auto& p = *this->p;
  p.connect(this->b);
  auto& others = this->second;
  auto& calls = this->calls;
  auto& lost_a = this->lost_a;
  auto& lost_b = this->lost_b;
  auto& inside = this->inside;
  subscribe(p, this->b, role::stream_data, others.callback());
  p.set_callback_on_disconnected(this->b, [&] { ++lost_b; });
  write(p, role::stream_control, start_command);
  for (int round = 0; round < 6; ++round) {
    p.connect(this->a);
    calls = 0;  // a has no callback now
    subscribe(p, this->a, role::stream_data, [&](const ByteArray&, std::int64_t) {
      inside = true;
      std::this_thread::sleep_for(200us);
      ++calls;
      inside = false;
    });
    p.set_callback_on_disconnected(this->a, [&] { ++lost_a; });
    // Removed while it runs: the call waits for it.
    ASSERT_TRUE(eventually([&] { return calls >= 3 && inside; })) << "round " << round;
    if (round % 2 == 0)
      unsubscribe(p, this->a, role::stream_data);
    else
      p.disconnect(this->a);
    EXPECT_FALSE(inside);
    const int seen = calls;
    const std::size_t others_now = others.payloads().size();
    ASSERT_TRUE(others.wait_for(others_now + 10));
    EXPECT_EQ(calls, seen) << "round " << round;
    if (round % 2 == 0) p.disconnect(this->a);
    // b holds the link: a loss now reaches b only.
    if (round == 5) {
      ASSERT_TRUE(this->side->drop());
      ASSERT_TRUE(eventually([&] { return lost_b == 1; }));
      std::this_thread::sleep_for(30ms);
      EXPECT_EQ(lost_a, 0);
    }
  }
}

}  // namespace
}  // namespace calyra::test
