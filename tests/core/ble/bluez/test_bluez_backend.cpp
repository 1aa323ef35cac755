// The BlueZ backend against calyra-fake-bluez on a private system bus: scan
// and paired lists, connect and the device record, error mapping, the stream
// bit for bit with one device session for several owners, link loss by a
// removed device object, writes from many threads, and a notification that
// arrives before a write's reply. The owner rules common to every backend
// are in ../test_owner_rules.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "backend_choice/backend_choice.h"
#include "ble/ble_error.h"
#include "ble/bluez/dbus_errors.h"
#include "bluez_test_support.h"
#include "virtual_test_support.h"

namespace calyra::test {
namespace {

using namespace std::chrono_literals;
namespace ble = core::ble;

const std::string kestrel = "CY KESTREL 5,model=4,address=C0:00:00:00:00:05,pace=fast";
const std::string paired = "CY PAIRED 1,model=0,paired=1,advertising=0,address=C0:00:00:00:00:01";
const std::string lossy = "CY LOSSY 3,model=1,loss=0.2,seed=7,address=C0:00:00:00:00:03,pace=fast";
const std::string failing = "CY FAIL 4,fail=battery_health,address=C0:00:00:00:00:04,mtu=185";
const std::string dropping = "CY DROP 9,drop_after=100,address=C0:00:00:00:00:09,pace=fast";

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST(BluezErrors, DBusFailuresMapOntoTheBleErrorFamily) {
  using ble::bluez::classify;
  using ble::bluez::failure_kind;
  EXPECT_EQ(classify("org.bluez.Error.NotConnected", ""), failure_kind::not_connected);
  // What 5.66 answers for a read or write without a link.
  EXPECT_EQ(classify("org.bluez.Error.Failed", "Not connected"), failure_kind::not_connected);
  EXPECT_EQ(classify("org.bluez.Error.Failed", "Operation failed with ATT error: 0x0e"),
            failure_kind::operation_failed);
  EXPECT_EQ(classify("org.freedesktop.DBus.Error.UnknownObject", "no such object"), failure_kind::not_found);
  EXPECT_EQ(classify("org.freedesktop.DBus.Error.UnknownMethod", ""), failure_kind::not_found);
  for (const char* name : {"org.bluez.Error.InProgress", "org.bluez.Error.NotPermitted",
                           "org.bluez.Error.NotSupported", "org.freedesktop.DBus.Error.NoReply",
                           "org.freedesktop.DBus.Error.ServiceUnknown"})
    EXPECT_EQ(classify(name, "x"), failure_kind::operation_failed) << name;
}

class BluezBackend : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite.start(kestrel + ";" + paired + ";" + lossy + ";" + failing + ";" + dropping);
  }
  static void TearDownTestSuite() { suite.stop(); }

  void SetUp() override {
    ASSERT_TRUE(suite.failure.empty()) << suite.failure;
    backend = ble::bluez::create_backend(true, nullptr);
    ASSERT_TRUE(backend) << "org.bluez does not answer on the private bus";
    auto adapters = backend->get_adapters();
    ASSERT_EQ(adapters.size(), 1u);
    adapter = adapters[0];
  }
  void TearDown() override {
    adapter.reset();
    backend.reset();
  }

  std::shared_ptr<PeripheralBackend> find(const std::string& name) {
    for (auto& p : adapter->scan_get_results())
      if (p->identifier() == name) return p;
    for (auto& p : adapter->get_paired_peripherals())
      if (p->identifier() == name) return p;
    adapter->scan_for(150);
    for (auto& p : adapter->scan_get_results())
      if (p->identifier() == name) return p;
    return nullptr;
  }

  static suite_bus suite;
  std::shared_ptr<ble::Backend> backend;
  std::shared_ptr<ble::AdapterBackend> adapter;
};

suite_bus BluezBackend::suite;

std::vector<std::string> names(const std::vector<std::shared_ptr<PeripheralBackend>>& list) {
  std::vector<std::string> out;
  for (const auto& p : list) out.push_back(p->identifier());
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(BluezBackend, ScanFindsAdvertisingHeadsetsAndPairedOnesAreListedWithoutScan) {
  EXPECT_EQ(backend->name(), "bluez");
  EXPECT_TRUE(backend->bluetooth_enabled());
  EXPECT_EQ(adapter->identifier(), "hci0");
  EXPECT_EQ(adapter->address(), "00:1B:DC:0F:AC:E0");
  EXPECT_TRUE(adapter->scan_get_results().empty());  // nothing seen before a scan
  EXPECT_EQ(names(adapter->get_paired_peripherals()), std::vector<std::string>{"CY PAIRED 1"});

  adapter->scan_for(150);
  const auto found = adapter->scan_get_results();
  EXPECT_EQ(names(found), (std::vector<std::string>{"CY DROP 9", "CY FAIL 4", "CY KESTREL 5", "CY LOSSY 3"}));
  for (const auto& p : found) {
    if (p->identifier() == "CY KESTREL 5") {
      EXPECT_EQ(p->address(), "C0:00:00:00:00:05");
    }
  }

  // Device objects outlive the scan; the next scan sees them again (by their
  // advertisements), and hands out the same peripheral objects.
  adapter->scan_for(150);
  const auto again = adapter->scan_get_results();
  ASSERT_EQ(again.size(), found.size());
  for (const auto& p : again)
    EXPECT_NE(std::find(found.begin(), found.end(), p), found.end()) << p->identifier();
}

TEST_F(BluezBackend, ConnectReadsTheDeviceRecordAndMapsFailures) {
  auto p = find("CY FAIL 4");
  ASSERT_TRUE(p);
  const auto owner = ble::new_owner_token();
  EXPECT_FALSE(p->is_connected());
  EXPECT_THROW(read(*p, role::model_number), ble::not_connected_error);
  p->connect(owner);
  EXPECT_TRUE(p->is_connected());
  EXPECT_EQ(p->mtu(), 185);  // read from BlueZ after the connect
  EXPECT_EQ(read(*p, role::model_number), "4");
  EXPECT_EQ(read(*p, role::firmware_revision), "3.6.1");
  EXPECT_EQ(read(*p, role::serial_number), "SN0003");  // the fourth entry of the list
  try {
    read(*p, role::battery_health);
    ADD_FAILURE() << "a failing characteristic was read";
  } catch (const ble::operation_failed_error& e) {
    EXPECT_NE(std::string(e.what()).find("org.bluez.Error.Failed"), std::string::npos) << e.what();
  }
  EXPECT_THROW(p->read("0000180f-0000-1000-8000-00805f9b34fb", "00002a19-0000-1000-8000-00805f9b34fb"),
               ble::not_found_error);
  p->disconnect(owner);
  EXPECT_FALSE(p->is_connected());
  EXPECT_FALSE(stats_of("C0:00:00:00:00:04").connected);
  EXPECT_THROW(read(*p, role::model_number), ble::not_connected_error);
  p->disconnect(owner);  // holding nothing: nothing happens
}

TEST_F(BluezBackend, StreamArrivesBitForBitWithOneDeviceSessionForTwoOwners) {
  auto p = find("CY KESTREL 5");
  ASSERT_TRUE(p);
  const auto a = ble::new_owner_token();
  const auto b = ble::new_owner_token();
  p->connect(a);
  p->connect(b);
  collector first, second;
  subscribe(*p, a, role::stream_data, first.callback());
  subscribe(*p, b, role::stream_data, second.callback());
  EXPECT_EQ(notify_sessions("C0:00:00:00:00:05"), 1u);  // StartNotify once
  write(*p, role::stream_control, std::string(1, '\x01'));
  ASSERT_TRUE(first.wait_for(200));
  ASSERT_TRUE(second.wait_for(200));
  const auto expected = expected_stream(kestrel, 200);
  const auto got = first.payloads();
  for (std::size_t i = 0; i < 200; ++i) ASSERT_EQ(got[i], expected[i]) << "packet " << i;
  const auto other = second.payloads();
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 200, other.begin()));
  EXPECT_NE(*first.threads().begin(), std::this_thread::get_id());

  unsubscribe(*p, a, role::stream_data);
  const std::size_t stopped_at = first.payloads().size();
  EXPECT_EQ(notify_sessions("C0:00:00:00:00:05"), 1u);  // b still subscribed
  const std::size_t b_now = second.payloads().size();
  ASSERT_TRUE(second.wait_for(b_now + 20));
  EXPECT_EQ(first.payloads().size(), stopped_at);  // nothing after unsubscribe returned
  unsubscribe(*p, b, role::stream_data);
  EXPECT_EQ(notify_sessions("C0:00:00:00:00:05"), 0u);  // StopNotify with the last owner

  p->disconnect(a);
  EXPECT_TRUE(p->is_connected());  // b still holds the link
  EXPECT_TRUE(stats_of("C0:00:00:00:00:05").connected);
  p->disconnect(b);
  EXPECT_FALSE(p->is_connected());
  EXPECT_FALSE(stats_of("C0:00:00:00:00:05").connected);
}

TEST_F(BluezBackend, SeededLossIsTheInProcessHeadsetsLoss) {
  auto p = find("CY LOSSY 3");
  ASSERT_TRUE(p);
  const auto owner = ble::new_owner_token();
  p->connect(owner);
  collector packets;
  subscribe(*p, owner, role::stream_data, packets.callback());
  write(*p, role::stream_control, std::string(1, '\x01'));
  ASSERT_TRUE(packets.wait_for(150));
  const auto expected = expected_stream(lossy, 150);
  const auto got = packets.payloads();
  for (std::size_t i = 0; i < 150; ++i) ASSERT_EQ(got[i], expected[i]) << "packet " << i;
  EXPECT_GT(stats_of("C0:00:00:00:00:03").lost, 0u);
  p->disconnect(owner);
}

TEST_F(BluezBackend, DisconnectOfTheLastHolderStopsNotifySessionsFirst) {
  auto p = find("CY KESTREL 5");
  ASSERT_TRUE(p);
  const auto owner = ble::new_owner_token();
  p->connect(owner);
  collector battery;
  subscribe(*p, owner, role::battery_status, battery.callback());
  subscribe(*p, owner, role::stream_data, [](const ByteArray&, std::int64_t) {});
  EXPECT_EQ(notify_sessions("C0:00:00:00:00:05"), 2u);
  p->disconnect(owner);
  // BlueZ would re-enable sessions left behind at the next connection.
  EXPECT_EQ(notify_sessions("C0:00:00:00:00:05"), 0u);
  p->connect(owner);
  set_battery("C0:00:00:00:00:05", 55, false);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(battery.payloads().empty());
  p->disconnect(owner);
}

TEST_F(BluezBackend, ADeviceObjectRemovedWhileConnectedIsALinkLoss) {
  auto p = find("CY KESTREL 5");
  ASSERT_TRUE(p);
  const auto owner = ble::new_owner_token();
  p->connect(owner);
  std::atomic<int> lost{0};
  p->set_callback_on_disconnected(owner, [&] { ++lost; });
  collector packets;
  subscribe(*p, owner, role::stream_data, packets.callback());
  write(*p, role::stream_control, std::string(1, '\x01'));
  ASSERT_TRUE(packets.wait_for(10));

  vanish("C0:00:00:00:00:05");
  ASSERT_TRUE(eventually([&] { return lost == 1; }));
  EXPECT_FALSE(p->is_connected());
  EXPECT_THROW(read(*p, role::model_number), ble::not_connected_error);
  EXPECT_EQ(p->identifier(), "CY KESTREL 5");  // still known by name

  // The next scan shows the device again, with new GATT objects.
  adapter->scan_for(150);
  auto again = find("CY KESTREL 5");
  ASSERT_EQ(again, p);
  p->connect(owner);
  EXPECT_EQ(read(*p, role::model_number), "4");
  p->disconnect(owner);
  EXPECT_EQ(lost, 1);
}

TEST_F(BluezBackend, PacketsReceivedBeforeALinkLossReachASlowSubscriber) {
  auto p = find("CY DROP 9");
  ASSERT_TRUE(p);
  const auto owner = ble::new_owner_token();
  p->connect(owner);
  std::atomic<bool> lost{false};
  std::atomic<std::size_t> at_loss{0};
  collector packets;
  auto record = packets.callback();
  // The stream comes through AcquireNotify's socket, read on the callback
  // thread: the arrival time is the read, and the backlog of a slow
  // subscriber waits in the socket (the signal path's stamp, taken before
  // its queue, is checked in test_bluez_notify_socket.cpp).
  std::int64_t last_arrival = 0;
  std::int64_t longest_wait_ns = 0;
  subscribe(*p, owner, role::stream_data, [&](const ByteArray& payload, std::int64_t arrival_ns) {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    EXPECT_LE(arrival_ns, now);
    EXPECT_GE(arrival_ns, last_arrival);
    last_arrival = arrival_ns;
    longest_wait_ns = std::max(longest_wait_ns, now - arrival_ns);
    std::this_thread::sleep_for(3ms);  // slower than the headset: a queue builds up
    record(payload, arrival_ns);
  });
  p->set_callback_on_disconnected(owner, [&] {
    at_loss = packets.payloads().size();
    lost = true;
  });
  write(*p, role::stream_control, std::string(1, '\x01'));
  ASSERT_TRUE(eventually([&] { return lost.load(); }));
  EXPECT_EQ(at_loss, 100u);  // all of them, before the link-loss callback
  EXPECT_TRUE(packets.payloads() == expected_stream(dropping, 100));
  p->disconnect(owner);
}

TEST_F(BluezBackend, WritesFromManyThreadsAreSerialisedPerPeripheral) {
  auto p = find("CY KESTREL 5");
  ASSERT_TRUE(p);
  const auto owner = ble::new_owner_token();
  p->connect(owner);
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        try {
          write(*p, role::charging_setting_timeout, std::string(1, static_cast<char>(10 + t)));
        } catch (const ble::ble_error& e) {
          ++failures;  // BlueZ answers a concurrent write with InProgress
        }
      }
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(failures, 0);
  p->disconnect(owner);
}

TEST_F(BluezBackend, SelectionFollowsTheEnvironmentAndTheBus) {
  const auto selected = [](const char* value) {
    if (value)
      ::setenv("CYCORE_BLE_BACKEND", value, 1);
    else
      ::unsetenv("CYCORE_BLE_BACKEND");
    ble::select_backend_from_environment();
    return ble::current_backend()->name();
  };
  EXPECT_EQ(selected(nullptr), "bluez");  // org.bluez answers on the (private) system bus
  EXPECT_EQ(selected("none"), "none");
  EXPECT_EQ(selected("virtual"), "virtual");
  EXPECT_EQ(selected("bluez"), "bluez");
  const std::string address = suite.bus->address();
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  EXPECT_EQ(selected(nullptr), "none");  // no system bus at all
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  ::unsetenv("CYCORE_BLE_BACKEND");
  ble::set_backend(nullptr);
}

// A write whose reply comes 100 ms after the headset's first notifications,
// as bluetoothd may deliver them: the caller holds a lock that the
// notification handler takes, which is how the manager starts a stream.
class BluezSlowWriteReply : public BluezBackend {
 protected:
  static void SetUpTestSuite() { suite.start(kestrel, {"--write-reply-delay-ms", "100"}); }
};

TEST_F(BluezSlowWriteReply, ANotificationBeforeTheWriteReplyDoesNotStallTheWrite) {
  auto p = find("CY KESTREL 5");
  ASSERT_TRUE(p);
  const auto owner = ble::new_owner_token();
  p->connect(owner);
  std::mutex stream_lock;
  std::atomic<int> handled{0};
  subscribe(*p, owner, role::stream_data, [&](const ByteArray&, std::int64_t) {
    std::lock_guard lock(stream_lock);
    ++handled;
  });
  const auto started = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(stream_lock);
    write(*p, role::stream_control, std::string(1, '\x01'));
    EXPECT_EQ(handled, 0);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  EXPECT_TRUE(eventually([&] { return handled > 10; }));
  p->disconnect(owner);
}

// Two programs (two bus connections) using one headset, whose Connect takes
// 200 ms: the second Connect meets the first under way.
class BluezSharedLink : public BluezBackend {
 protected:
  static void SetUpTestSuite() { suite.start(kestrel, {"--connect-delay-ms", "200"}); }
};

TEST_F(BluezSharedLink, AConnectUnderWayIsJoinedAndOnlyItsOwnerClosesTheLink) {
  auto first = find("CY KESTREL 5");
  ASSERT_TRUE(first);
  auto other_backend = ble::bluez::create_backend(true, nullptr);
  std::shared_ptr<PeripheralBackend> second;
  auto other_adapter = other_backend->get_adapters().at(0);
  other_adapter->scan_for(150);
  for (auto& p : other_adapter->scan_get_results())
    if (p->identifier() == "CY KESTREL 5") second = p;
  ASSERT_TRUE(second);

  const auto a = ble::new_owner_token();
  const auto b = ble::new_owner_token();
  std::thread bringing_up([&] { first->connect(a); });
  std::this_thread::sleep_for(50ms);
  EXPECT_NO_THROW(second->connect(b));  // Connect answers InProgress: the first one's link is used
  bringing_up.join();
  ASSERT_TRUE(first->is_connected());
  EXPECT_EQ(read(*second, role::model_number), "4");

  collector packets;
  subscribe(*first, a, role::stream_data, packets.callback());
  write(*first, role::stream_control, std::string(1, '\x01'));
  ASSERT_TRUE(packets.wait_for(10));
  // The program that did not bring the link up lets go without closing it.
  second->disconnect(b);
  EXPECT_FALSE(second->is_connected());
  const std::size_t now = packets.payloads().size();
  EXPECT_TRUE(packets.wait_for(now + 50));
  EXPECT_TRUE(first->is_connected());
  EXPECT_TRUE(stats_of("C0:00:00:00:00:05").connected);
  first->disconnect(a);
  EXPECT_FALSE(stats_of("C0:00:00:00:00:05").connected);
}

// bluetoothd going away mid-stream and coming back.
class BluezDaemonRestart : public BluezBackend {
 protected:
  static void SetUpTestSuite() { suite.start(kestrel); }
};

TEST_F(BluezDaemonRestart, LinksAreLostWithoutHangAndTheBackendWorksWithTheNextDaemon) {
  auto p = find("CY KESTREL 5");
  ASSERT_TRUE(p);
  const auto owner = ble::new_owner_token();
  p->connect(owner);
  std::atomic<int> lost{0};
  p->set_callback_on_disconnected(owner, [&] { ++lost; });
  collector packets;
  subscribe(*p, owner, role::stream_data, packets.callback());
  write(*p, role::stream_control, std::string(1, '\x01'));
  ASSERT_TRUE(packets.wait_for(20));

  suite.fake->kill_now();
  ASSERT_TRUE(eventually([&] { return lost == 1; }));
  EXPECT_FALSE(p->is_connected());
  EXPECT_FALSE(backend->bluetooth_enabled());
  const auto before = std::chrono::steady_clock::now();
  EXPECT_THROW(p->connect(owner), ble::ble_error);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  p->disconnect(owner);
  ::unsetenv("CYCORE_BLE_BACKEND");
  ble::select_backend_from_environment();
  EXPECT_EQ(ble::current_backend()->name(), "none");  // a bus without bluetoothd
  ble::set_backend(nullptr);

  suite.fake = std::make_unique<fake_bluez_process>(kestrel);
  ASSERT_TRUE(eventually([&] { return backend->bluetooth_enabled(); }));
  adapter = backend->get_adapters().at(0);
  adapter->scan_for(150);
  auto again = find("CY KESTREL 5");
  ASSERT_TRUE(again);
  again->connect(owner);
  EXPECT_EQ(read(*again, role::model_number), "4");
  again->disconnect(owner);
  EXPECT_EQ(lost, 1);
}

}  // namespace
}  // namespace calyra::test
