// The stream through AcquireNotify's socket: taken when BlueZ offers it,
// taken again after a reconnect, and PropertiesChanged signals when BlueZ
// refuses it (another program's notify session, or no support).
#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "bluez_test_support.h"
#include "virtual_test_support.h"

namespace calyra::test {
namespace {

using namespace std::chrono_literals;
namespace ble = core::ble;

const std::string address = "C0:00:00:00:00:05";
const std::string kestrel = "CY KESTREL 5,model=4,address=" + address + ",paired=1,pace=fast";
const std::string start_command(1, '\x01');

// Another program on the bus, talking to the stream characteristic.
struct other_program {
  std::unique_ptr<sdbus::IConnection> connection = sdbus::createSystemBusConnection();

  std::string stream_path() {
    std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>> tree;
    sdbus::createProxy(*connection, "org.bluez", "/")
        ->callMethod("GetManagedObjects")
        .onInterface("org.freedesktop.DBus.ObjectManager")
        .storeResultsTo(tree);
    const std::string uuid = core::gatt::uuids(role::stream_data).characteristic;
    for (const auto& [path, interfaces] : tree) {
      const auto c = interfaces.find("org.bluez.GattCharacteristic1");
      if (c != interfaces.end() && c->second.at("UUID").get<std::string>() == uuid) return path;
    }
    return {};
  }
  bool notify_acquired() {
    return sdbus::createProxy(*connection, "org.bluez", stream_path())
        ->getProperty("NotifyAcquired")
        .onInterface("org.bluez.GattCharacteristic1")
        .get<bool>();
  }
  void call(const char* method) {
    sdbus::createProxy(*connection, "org.bluez", stream_path())
        ->callMethod(method)
        .onInterface("org.bluez.GattCharacteristic1")
        .storeResultsTo();
  }
};

class BluezNotifySocket : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { suite.start(kestrel); }
  static void TearDownTestSuite() { suite.stop(); }
  void SetUp() override {
    ASSERT_TRUE(suite.failure.empty()) << suite.failure;
    backend = ble::bluez::create_backend(true, nullptr);
    ASSERT_TRUE(backend);
    const auto paired = backend->get_adapters().at(0)->get_paired_peripherals();
    ASSERT_EQ(paired.size(), 1u);
    p = paired[0];
  }
  // Subscribes, starts the stream and waits for `count` packets.
  bool stream(collector& packets, std::size_t count) {
    subscribe(*p, owner, role::stream_data, packets.callback());
    write(*p, role::stream_control, start_command);
    return packets.wait_for(count);
  }

  static suite_bus suite;
  std::shared_ptr<ble::Backend> backend;
  std::shared_ptr<PeripheralBackend> p;
  const ble::owner_token owner = ble::new_owner_token();
};

suite_bus BluezNotifySocket::suite;

TEST_F(BluezNotifySocket, TheStreamComesThroughTheSocketAndAgainAfterAReconnect) {
  other_program observer;
  p->connect(owner);
  collector first;
  ASSERT_TRUE(stream(first, 200));
  EXPECT_TRUE(observer.notify_acquired());
  const auto got = first.payloads();
  EXPECT_TRUE(got == expected_stream(kestrel, got.size()));

  // The socket ends with the link; the next subscription acquires again.
  ASSERT_TRUE(drop_link(address));
  for (int i = 0; i < 500 && p->is_connected(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(p->is_connected());
  p->connect(owner);
  collector second;
  EXPECT_TRUE(stream(second, 50));
  EXPECT_TRUE(observer.notify_acquired());
  p->disconnect(owner);
  EXPECT_FALSE(observer.notify_acquired());
}

TEST_F(BluezNotifySocket, AnotherProgramsNotifySessionLeavesTheSignals) {
  p->connect(owner);
  other_program other;
  other.call("StartNotify");  // AcquireNotify now answers InProgress
  collector packets;
  ASSERT_TRUE(stream(packets, 100));
  EXPECT_FALSE(other.notify_acquired());
  const auto got = packets.payloads();
  EXPECT_TRUE(got == expected_stream(kestrel, got.size()));
  other.call("StopNotify");
  p->disconnect(owner);
}

class BluezWithoutNotifySocket : public BluezNotifySocket {
 protected:
  static void SetUpTestSuite() { suite.start(kestrel, {"--no-acquire-notify"}); }
};

TEST_F(BluezWithoutNotifySocket, TheStreamComesThroughSignalsStampedBeforeTheQueue) {
  p->connect(owner);
  collector packets;
  ASSERT_TRUE(stream(packets, 100));
  EXPECT_FALSE(other_program().notify_acquired());
  const auto got = packets.payloads();
  EXPECT_TRUE(got == expected_stream(kestrel, got.size()));
  unsubscribe(*p, owner, role::stream_data);

  // The arrival time is taken when the bus thread reads the message, so it
  // does not move with the queue in front of a slow subscriber.
  std::atomic<std::int64_t> longest_wait_ns{0};
  std::atomic<int> calls{0};
  subscribe(*p, owner, role::stream_data, [&](const ByteArray&, std::int64_t arrival_ns) {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    longest_wait_ns = std::max<std::int64_t>(longest_wait_ns, now - arrival_ns);
    std::this_thread::sleep_for(3ms);  // slower than the headset: a queue builds up
    ++calls;
  });
  for (int i = 0; i < 500 && calls < 20; ++i) std::this_thread::sleep_for(10ms);
  unsubscribe(*p, owner, role::stream_data);
  EXPECT_GT(longest_wait_ns, 20'000'000);  // queued behind the slow calls
  p->disconnect(owner);
}

}  // namespace
}  // namespace calyra::test
