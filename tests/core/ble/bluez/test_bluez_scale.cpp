// Threads and link states of the BlueZ backend stay bounded by the devices in
// use, not by the devices a scan has seen.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "ble/bluez/bluez_backend.h"
#include "bluez_test_support.h"
#include "virtual_test_support.h"

namespace calyra::test {
namespace {

using namespace std::chrono_literals;
namespace ble = core::ble;

std::size_t thread_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

std::string advertisers(int count) {
  std::string list = "CY KESTREL 5,model=4,address=C0:00:00:00:00:05,pace=fast";
  for (int i = 1; i < count; ++i) list += ";CY N " + std::to_string(i);
  return list;
}

struct scanned {
  explicit scanned(int devices) {
    bus.start(advertisers(devices));
    if (!bus.failure.empty()) return;
    backend = ble::bluez::create_backend(true, nullptr);
    if (!backend) return;
    adapter = backend->get_adapters().at(0);
    adapter->scan_for(500);
  }
  ~scanned() {
    adapter.reset();
    backend.reset();
    bus.stop();
  }
  suite_bus bus;
  std::shared_ptr<ble::Backend> backend;
  std::shared_ptr<ble::AdapterBackend> adapter;
};

// Threads of the process while the results of a scan among `devices`
// advertisers are held.
std::size_t threads_while_holding_a_scan_of(int devices) {
  scanned s(devices);
  EXPECT_TRUE(s.adapter) << s.bus.failure;
  if (!s.adapter) return 0;
  const auto found = s.adapter->scan_get_results();
  EXPECT_EQ(found.size(), static_cast<std::size_t>(devices));
  for (const auto& p : found) (void)p->identifier();
  return thread_count();
}

TEST(BluezScale, AScanAmongManyAdvertisersStartsNoThreadPerDevice) {
  const std::size_t few = threads_while_holding_a_scan_of(2);
  const std::size_t many = threads_while_holding_a_scan_of(200);
  EXPECT_LE(many, few + 2) << "2 devices: " << few << " threads, 200 devices: " << many;
}

TEST(BluezScale, ADeviceReleasedAfterUseLeavesNoThreadBehind) {
  scanned s(2);
  ASSERT_TRUE(s.adapter) << s.bus.failure;
  const std::size_t baseline = thread_count();
  const auto owner = ble::new_owner_token();
  for (int round = 0; round < 3; ++round) {
    std::shared_ptr<PeripheralBackend> p;
    for (auto& candidate : s.adapter->scan_get_results())
      if (candidate->identifier() == "CY KESTREL 5") p = candidate;
    ASSERT_TRUE(p);
    p->connect(owner);
    collector packets;
    subscribe(*p, owner, role::stream_data, packets.callback());
    write(*p, role::stream_control, std::string(1, '\x01'));
    ASSERT_TRUE(packets.wait_for(5));  // the device's callback thread ran
    p->disconnect(owner);
    p.reset();
    s.adapter->scan_for(50);  // the next scan forgets what nobody holds
  }
  EXPECT_LE(thread_count(), baseline);
}

// Headsets with private addresses show a new address every few minutes, and
// BlueZ drops the device objects of the old ones. Each round here is a daemon
// presenting `per_round` addresses never seen before, whose objects are
// removed after the scan.
TEST(BluezScale, ScansAmongRotatingAddressesStayBoundedInThreadsAndLinkStates) {
  constexpr int rounds = 20;
  constexpr int per_round = 50;
  const auto address_of = [](int round, int i) {
    char address[18];
    std::snprintf(address, sizeof address, "C2:00:00:00:%02X:%02X", round, i);
    return std::string(address);
  };
  const auto round_devices = [&](int round) {
    std::string list;
    for (int i = 0; i < per_round; ++i)
      list += std::string(list.empty() ? "" : ";") + "CY R " + std::to_string(round) + "-" +
              std::to_string(i) + ",address=" + address_of(round, i);
    return list;
  };
  const auto eventually = [](const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return condition();
  };
  suite_bus bus;
  bus.start(round_devices(0));
  ASSERT_TRUE(bus.failure.empty()) << bus.failure;
  auto backend = ble::bluez::create_backend(true, nullptr);
  ASSERT_TRUE(backend);
  auto adapter = backend->get_adapters().at(0);
  std::size_t threads_at_first = 0, descriptors_at_first = 0;
  for (int round = 0; round < rounds; ++round) {
    if (round > 0) {
      bus.fake.reset();
      bus.fake = std::make_unique<fake_bluez_process>(round_devices(round));
    }
    ASSERT_TRUE(eventually([&] { return adapter->powered(); })) << "round " << round;
    adapter->scan_for(50);
    auto found = adapter->scan_get_results();
    ASSERT_EQ(found.size(), static_cast<std::size_t>(per_round)) << "round " << round;
    const std::string prefix = "CY R " + std::to_string(round) + "-";
    for (const auto& p : found) EXPECT_EQ(p->identifier().rfind(prefix, 0), 0u) << p->identifier();
    found.clear();
    for (int i = 0; i < per_round; ++i) vanish(address_of(round, i));
    // The mirror lets go of removed objects.
    ASSERT_TRUE(eventually([&] { return adapter->scan_get_results().empty(); })) << "round " << round;
    // Here each round holds the link states of its own scan only (the next
    // scan forgets them).
    if (round == 0) {
      threads_at_first = thread_count();
      descriptors_at_first = open_descriptors();
    }
  }
  EXPECT_LE(thread_count(), threads_at_first + 1);
  // Every link state holds a descriptor (its dispatcher's wake-up): states
  // kept per address ever seen would add 50 a round.
  EXPECT_LE(open_descriptors(), descriptors_at_first + 5);
}

}  // namespace
}  // namespace calyra::test
