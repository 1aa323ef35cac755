// Eight headsets at once through the library's BlueZ backend and
// calyra-fake-bluez: each manager on its own host thread connects,
// configures, streams through its own AcquireNotify socket, stops and
// disconnects, all at the same time. Every manager gets its own headset's
// samples, none lost, and the library runs one bus thread plus at most one
// thread per headset it holds.
#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cycore.h"
#include "cycore_virtual.h"
#include "private_bus.h"
#include "protocol/gatt_map.h"
#include "runtime/library_fixture.h"
#include "session_support.h"
#include "simulator/device_config.h"

namespace calyra::test {
namespace {

constexpr int headset_count = 8;

std::string name_of(int i) { return "CY PAIR " + std::to_string(i + 1); }
std::uint64_t seed_of(int i) { return static_cast<std::uint64_t>(200 + i); }
double line_of(int i) { return 45.0 + 5.0 * i; }

std::string device_list() {
  std::string list;
  for (int i = 0; i < headset_count; ++i)
    list += name_of(i) + ",model=4,seed=" + std::to_string(seed_of(i)) + ",line=" + std::to_string(line_of(i)) + ";";
  return list;
}

// Whether the stream characteristic of the headset `name` is handed out as a
// socket, as BlueZ reports it to any program on the bus.
bool notify_acquired(const std::string& name) {
  auto connection = sdbus::createSystemBusConnection();
  std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>> tree;
  sdbus::createProxy(*connection, "org.bluez", "/")
      ->callMethod("GetManagedObjects")
      .onInterface("org.freedesktop.DBus.ObjectManager")
      .storeResultsTo(tree);
  const std::string device = device_path(simulator::address_from_name(name)) + "/";
  const std::string uuid = core::gatt::uuids(core::gatt::role::stream_data).characteristic;
  for (const auto& [path, interfaces] : tree) {
    const auto c = interfaces.find("org.bluez.GattCharacteristic1");
    if (c != interfaces.end() && std::string(path).rfind(device, 0) == 0 &&
        c->second.at("UUID").get<std::string>() == uuid)
      return c->second.at("NotifyAcquired").get<bool>();
  }
  return false;
}

class ManyHeadsetsOverBluez : public core::testing::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    try {
      bus = std::make_unique<private_bus>();
      fake = std::make_unique<fake_bluez_process>(device_list());
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
    ::unsetenv("CYCORE_BLE_BACKEND");
    sysfs = std::make_unique<enabled_adapter_sysfs>();
    cy_core_config config = logging_config();
    config.log_level = CY_LOG_LEVEL_INFO;
    init_with(config);
  }
  void TearDown() override {
    cy_virtual_reset();
    LibraryTest::TearDown();
    sysfs.reset();
    fake.reset();
    bus.reset();
  }

  std::unique_ptr<private_bus> bus;
  std::unique_ptr<fake_bluez_process> fake;
  std::unique_ptr<enabled_adapter_sysfs> sysfs;
};

TEST_F(ManyHeadsetsOverBluez, ManagersOnTheirOwnThreadsKeepTheirOwnSocketsAndSamples) {
  const int threads_before = thread_baseline();
  std::atomic<int> streaming{0}, most_threads{0}, acquired{0};
  std::vector<std::thread> hosts;
  for (int i = 0; i < headset_count; ++i) {
    hosts.emplace_back([&, i] {
      const std::string who = name_of(i);
      cy_eeg_manager* m = cy_eeg_manager_new();
      ASSERT_EQ(cy_eeg_manager_connect(m, who.c_str(), nullptr, nullptr), CY_OK) << who;
      ASSERT_TRUE(configure_e1(m)) << who;
      chunk_recorder recorder;
      recorder.attach(m);
      ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK) << who;
      ++streaming;
      // Every headset streams before any stops: the sockets are open together.
      EXPECT_TRUE(eventually([&] { return streaming.load() == headset_count; }, 20s)) << who;
      if (notify_acquired(who)) ++acquired;
      EXPECT_TRUE(eventually([&] {
        int seen = most_threads;
        const int now = thread_count();
        while (now > seen && !most_threads.compare_exchange_weak(seen, now)) {}
        return recorder.total_samples() >= 300;
      })) << who;
      ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK) << who;
      cy_stream_stats stats{};
      ASSERT_EQ(cy_eeg_manager_get_stream_stats(m, &stats), CY_OK);
      EXPECT_EQ(stats.missed_packets, 0u) << who;
      cy_eeg_manager_disconnect(m);
      EXPECT_GE(expect_own_gapless_stream(recorder, seed_of(i), line_of(i), who), 300u);
      cy_eeg_manager_free(m);
    });
  }
  for (std::thread& t : hosts) t.join();
  EXPECT_EQ(acquired.load(), headset_count);
  // Our host threads, the bus thread and one per headset held, nothing more.
  EXPECT_LE(most_threads.load(), threads_before + 2 * headset_count + 1);
  // The last scan's results hold the headsets until the next scan: after one
  // more, by a manager that uses one headset, the others' threads are gone.
  cy_eeg_manager* m = cy_eeg_manager_new();
  ASSERT_EQ(cy_eeg_manager_connect(m, name_of(0).c_str(), nullptr, nullptr), CY_OK);
  EXPECT_TRUE(eventually([&] { return thread_count() <= threads_before + 2; }, 5s))
      << thread_count() << " threads, " << threads_before << " before";
  cy_eeg_manager_free(m);
}

}  // namespace
}  // namespace calyra::test
