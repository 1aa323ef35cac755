// Threads and link states of the BlueZ backend stay bounded by the devices in
// use, not by the devices a scan has seen.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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

}  // namespace
}  // namespace calyra::test
