// Battery records, the battery cache and the charging settings: byte-level
// decoding against a scripted peripheral, and the notification path end to
// end against a virtual headset.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ble/ble_error.h"
#include "cycore.h"
#include "cycore_virtual.h"
#include "manager/eeg_manager_implementation.h"
#include "manager_test_access.h"
#include "runtime/library_fixture.h"

namespace calyra::core {
namespace {

using gatt::role;

// Values set by the test; reads and writes recorded in order; every access
// to a role in `failing` throws.
class scripted_peripheral final : public ble::PeripheralBackend {
 public:
  std::map<role, ble::ByteArray> values;
  std::set<role> failing;
  std::vector<role> reads;
  std::vector<std::pair<role, ble::ByteArray>> writes;

  std::string identifier() override { return "CY SCRIPTED 1"; }
  std::string address() override { return "00:00:00:00:00:01"; }
  void connect(ble::owner_token) override {}
  void disconnect(ble::owner_token) override {}
  bool is_connected() override { return true; }
  std::uint16_t mtu() override { return 247; }
  ble::ByteArray read(const std::string& s, const std::string& c) override {
    reads.push_back(check(s, c));
    return values[reads.back()];
  }
  void write_request(const std::string& s, const std::string& c, const ble::ByteArray& d) override {
    writes.emplace_back(check(s, c), d);
  }
  void notify(ble::owner_token, const std::string&, const std::string&, ble::NotifyCallback) override {}
  void unsubscribe(ble::owner_token, const std::string&, const std::string&) override {}
  void set_callback_on_disconnected(ble::owner_token, ble::DisconnectCallback) override {}

 private:
  role check(const std::string& service, const std::string& characteristic) {
    const role r = *gatt::role_from_uuids(service, characteristic);
    if (failing.count(r) != 0) throw ble::operation_failed_error("scripted failure");
    return r;
  }
};

ble::ByteArray bytes(std::initializer_list<int> values) {
  ble::ByteArray out;
  for (const int v : values) out.push_back(static_cast<char>(v));
  return out;
}

class BatteryTest : public testing::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    cy_core_config config = logging_config();
    config.autoflush = true;
    config.log_level = CY_LOG_LEVEL_DEBUG;
    init_with(config);
    manager = std::make_unique<eeg_manager_implementation>();
    manager_test_access::attach(*manager, ble::Peripheral(device));
  }
  void TearDown() override {
    manager.reset();
    LibraryTest::TearDown();
  }
  cy_eeg_manager* handle() { return reinterpret_cast<cy_eeg_manager*>(manager.get()); }

  // How often `message` was logged at `level` (manager framing stripped).
  long logged(const std::string& level, const std::string& message) const {
    const auto lines = log_lines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      const auto body = line.find("): ");
      return line.rfind("[" + level + "] [eeg_manager] (", 0) == 0 &&
             body != std::string::npos && line.substr(body + 3) == message;
    });
  }
  void script(ble::ByteArray status, ble::ByteArray energy, ble::ByteArray health) {
    device->values[role::battery_status] = std::move(status);
    device->values[role::battery_energy] = std::move(energy);
    device->values[role::battery_health] = std::move(health);
  }

  std::unique_ptr<eeg_manager_implementation> manager;
  std::shared_ptr<scripted_peripheral> device = std::make_shared<scripted_peripheral>();
};

TEST_F(BatteryTest, DecodesStatusEnergyAndHealth) {
  struct status_case {
    int power_state;
    bool charger;
    std::int32_t charge_state, bit7;
  };
  for (const status_case c : {status_case{0x22, true, 1, 0}, status_case{0x42, true, 2, 0},
                              status_case{0x80, false, 0, 1}}) {
    SCOPED_TRACE(c.power_state);
    script(bytes({0x11, c.power_state, 0xEE, 80, 0x99}), bytes({0, 0x00, 0x3C, 0x00, 0x40}),
           bytes({0, 0x64}));
    const cy_full_battery_info info = manager->read_full_battery_info();
    EXPECT_EQ(info.level, 80);
    EXPECT_EQ(info.is_charger_connected, c.charger);
    EXPECT_EQ(info.charge_state, c.charge_state);
    EXPECT_EQ(info.power_state_bit7, c.bit7);
    EXPECT_EQ(info.voltage, 1.0f);
    EXPECT_EQ(info.current, 2.0f);
    EXPECT_EQ(info.health, 100.0f);
  }
  EXPECT_EQ(std::vector<role>(device->reads.begin(), device->reads.begin() + 3),
            (std::vector<role>{role::battery_status, role::battery_energy, role::battery_health}));

  // Short values read 0 where bytes are missing (ASan checks nothing is read
  // past the end): no level, current has only its low byte, no health.
  script(bytes({0, 0x22}), bytes({0, 0x00, 0x3C, 0x05}), bytes({}));
  const cy_full_battery_info shortened = manager->read_full_battery_info();
  EXPECT_EQ(shortened.level, 0);
  EXPECT_TRUE(shortened.is_charger_connected);
  EXPECT_EQ(shortened.voltage, 1.0f);
  EXPECT_EQ(shortened.current, std::ldexp(5.0f, -24));  // the subnormal 0x0005
  EXPECT_EQ(shortened.health, 0.0f);
}

TEST_F(BatteryTest, FullQueryRefreshesTheCacheLogsAndCallsBack) {
  script(bytes({0, 0x22, 0, 80}), bytes({0, 0x00, 0x3C, 0x00, 0x40}), bytes({0, 87}));
  cy_full_battery_info seen{};
  const auto copy = [](const cy_full_battery_info* info, void* data) {
    *static_cast<cy_full_battery_info*>(data) = *info;
  };
  ASSERT_EQ(cy_eeg_manager_get_full_battery_info(handle(), copy, &seen), CY_OK);
  EXPECT_EQ(seen.health, 87.0f);
  const std::size_t reads = device->reads.size();
  const cy_battery_info cached = cy_eeg_manager_get_battery_info(handle());
  EXPECT_EQ(device->reads.size(), reads) << "the quick query must not contact the device";
  EXPECT_EQ(cached.level, 80);
  EXPECT_TRUE(cached.is_charger_connected);
  EXPECT_TRUE(cached.is_charging);
  EXPECT_EQ(logged("INFO", "Battery info: level=80, voltage=1, current=2, health=87, "
                           "is_charger_connected=true, is_charging=true"), 1);

  // Without a callback: still read, cached and logged (%g formatting).
  script(bytes({0, 0x42, 0, 12}), bytes({0, 0x66, 0x3E, 0x00, 0xBC}), bytes({0, 50}));
  ASSERT_EQ(cy_eeg_manager_get_full_battery_info(handle(), nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_get_battery_info(handle()).level, 12);
  EXPECT_EQ(logged("INFO", "Battery info: level=12, voltage=1.59961, current=-1, health=50, "
                           "is_charger_connected=true, is_charging=false"), 1);
  EXPECT_EQ(logged("DEBUG", "Future callback done"), 2);

  // A failed read: a code, no callback, the cache as it was.
  device->failing.insert(role::battery_health);
  seen = {};
  EXPECT_EQ(cy_eeg_manager_get_full_battery_info(handle(), copy, &seen), CY_CONNECTION_ERROR);
  EXPECT_EQ(seen.level, 0);
  EXPECT_EQ(cy_eeg_manager_get_battery_info(handle()).level, 12);
  EXPECT_EQ(logged("ERROR", "Caught connection error: scripted failure"), 1);

  // Not connected: a code rather than OK, no traffic; the cache is kept but
  // not reported.
  manager_test_access::set_connected(*manager, false);
  EXPECT_EQ(cy_eeg_manager_get_full_battery_info(handle(), copy, &seen), CY_CONNECTION_ERROR);
  EXPECT_EQ(logged("INFO", "Unable to get full battery info - no connection to device"), 1);
  EXPECT_EQ(cy_eeg_manager_get_battery_info(handle()).level, 0);
  manager_test_access::set_connected(*manager, true);
  EXPECT_EQ(cy_eeg_manager_get_battery_info(handle()).level, 12);
}

TEST_F(BatteryTest, NotificationStoresLogsAndCallsBackOutsideTheCacheLock) {
  struct seen_t {
    std::vector<cy_battery_info> records;
    eeg_manager_implementation* manager;
  } seen{{}, manager.get()};
  manager->set_callback_battery(
      [](const cy_battery_info* info, void* data) {
        auto* s = static_cast<seen_t*>(data);
        s->records.push_back(*info);
        s->records.push_back(s->manager->get_battery_info());  // would deadlock under the lock
      },
      &seen);
  manager->on_battery_notification(bytes({0, 0x22, 0, 64}));
  manager->on_battery_notification(bytes({0, 0x22, 0, 64}));
  manager->on_battery_notification(bytes({0, 0x02, 0, 0, 0x7F}));  // longer: the rest is ignored
  ASSERT_EQ(seen.records.size(), 6u);
  EXPECT_EQ(seen.records[0].level, 64);
  EXPECT_TRUE(seen.records[1].is_charging);
  EXPECT_EQ(seen.records[5].level, 0);
  EXPECT_TRUE(seen.records[5].is_charger_connected);
  EXPECT_FALSE(seen.records[5].is_charging);
  EXPECT_EQ(logged("INFO", "battery level dropped: 64"), 2);
  EXPECT_EQ(logged("INFO", "battery level dropped: 0"), 1);
  EXPECT_TRUE(device->reads.empty());
}

TEST_F(BatteryTest, NotificationTooShortForTheLevelIsIgnored) {
  int calls = 0;
  manager->set_callback_battery([](const cy_battery_info*, void* data) { ++*static_cast<int*>(data); }, &calls);
  manager->on_battery_notification(bytes({0, 0x22, 0, 64}));
  for (const auto& short_record : {bytes({}), bytes({0}), bytes({0, 0x02}), bytes({0, 0x02, 0})}) {
    manager->on_battery_notification(short_record);
  }
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(manager->get_battery_info().level, 64);
  EXPECT_TRUE(manager->get_battery_info().is_charging);
  EXPECT_EQ(logged("INFO", "battery level dropped: 0"), 0);
  EXPECT_EQ(logged("WARNING", "Ignoring a battery notification of 0 bytes: the battery record needs 4"), 1);
  EXPECT_EQ(logged("WARNING", "Ignoring a battery notification of 3 bytes: the battery record needs 4"), 1);
}

TEST_F(BatteryTest, ChargingSettings) {
  device->values[role::charging_setting_timeout] = bytes({30, 9});
  device->values[role::charging_setting_flag] = bytes({0x02});
  cy_charging_settings settings = cy_eeg_manager_get_charging_settings(handle());
  EXPECT_TRUE(settings.flag);
  EXPECT_EQ(settings.sleep_timeout, 30);
  EXPECT_EQ(device->reads,
            (std::vector<role>{role::charging_setting_timeout, role::charging_setting_flag}));
  device->values[role::charging_setting_timeout] = bytes({});
  device->values[role::charging_setting_flag] = bytes({});
  settings = cy_eeg_manager_get_charging_settings(handle());
  EXPECT_FALSE(settings.flag);
  EXPECT_EQ(settings.sleep_timeout, 0);

  EXPECT_TRUE(cy_eeg_manager_set_charging_settings(handle(), cy_charging_settings{true, 0}));
  EXPECT_EQ(logged("INFO", "Sleep timeout must be greater than 0, setting to 1."), 1);
  // A C caller's "true" may be any non-zero byte; it goes out unchanged.
  cy_charging_settings raw{false, 30};
  const std::uint8_t five = 5;
  std::memcpy(&raw.flag, &five, 1);
  EXPECT_TRUE(cy_eeg_manager_set_charging_settings(handle(), raw));
  EXPECT_EQ(device->writes, (std::vector<std::pair<role, ble::ByteArray>>{
                                {role::charging_setting_timeout, bytes({1})},
                                {role::charging_setting_flag, bytes({1})},
                                {role::charging_setting_timeout, bytes({30})},
                                {role::charging_setting_flag, bytes({5})}}));

  // GATT failures: the zero record and false, each with an ERROR line.
  device->failing.insert(role::charging_setting_flag);
  device->values[role::charging_setting_timeout] = bytes({30});
  EXPECT_EQ(cy_eeg_manager_get_charging_settings(handle()).sleep_timeout, 0);
  EXPECT_FALSE(cy_eeg_manager_set_charging_settings(handle(), cy_charging_settings{true, 3}));
  EXPECT_EQ(logged("ERROR", "Caught connection error: scripted failure"), 2);

  // Not connected: nothing sent or read.
  manager_test_access::set_connected(*manager, false);
  device->reads.clear();
  device->writes.clear();
  EXPECT_EQ(cy_eeg_manager_get_charging_settings(handle()).sleep_timeout, 0);
  EXPECT_FALSE(cy_eeg_manager_set_charging_settings(handle(), cy_charging_settings{true, 3}));
  EXPECT_TRUE(device->reads.empty());
  EXPECT_TRUE(device->writes.empty());
  EXPECT_EQ(logged("INFO", "Unable to get charging settings - no connection to device"), 1);
  EXPECT_EQ(logged("INFO", "Unable to set charging settings - no connection to device"), 1);
}

// End to end: a virtual headset's battery notification reaches the cache and
// the battery callback on the backend's thread.
TEST(VirtualBattery, CacheAndCallbackFollowTheHeadset) {
  ASSERT_EQ(cy_virtual_configure("CY KESTREL 5,battery=70,pace=fast"), CY_OK);
  ASSERT_EQ(cy_virtual_set_scan_scale(0.1), CY_OK);
  ASSERT_EQ(cy_core_init(), CY_OK);
  cy_eeg_manager* handle = cy_eeg_manager_new();
  ASSERT_EQ(cy_eeg_manager_connect(handle, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_get_battery_info(handle).level, 70);

  struct seen_t {
    std::atomic<int> level{-1};
    std::atomic<bool> on_host_thread{false};
    std::thread::id host = std::this_thread::get_id();
  } seen;
  cy_eeg_manager_set_callback_battery(
      handle,
      [](const cy_battery_info* info, void* data) {
        auto* s = static_cast<seen_t*>(data);
        if (std::this_thread::get_id() == s->host) s->on_host_thread = true;
        s->level = info->level;
      },
      &seen);
  ASSERT_EQ(cy_virtual_set_battery("CY KESTREL 5", 55, true), CY_OK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (seen.level.load() != 55 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(seen.level.load(), 55);
  EXPECT_FALSE(seen.on_host_thread.load());
  const cy_battery_info now = cy_eeg_manager_get_battery_info(handle);
  EXPECT_EQ(now.level, 55);
  EXPECT_TRUE(now.is_charger_connected && now.is_charging);

  cy_eeg_manager_free(handle);
  cy_virtual_reset();
  cy_core_close();
}

}  // namespace
}  // namespace calyra::core
