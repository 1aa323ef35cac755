// Battery records, the battery cache and the charging settings: decoding at
// the byte level against a scripted peripheral, and end to end through the C
// API against a virtual headset.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
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
#include "cycore/eeg_manager.h"
#include "cycore_virtual.h"
#include "manager/eeg_manager_implementation.h"
#include "protocol/gatt_map.h"
#include "runtime/library_fixture.h"

namespace calyra::core {
namespace {

using gatt::role;

// A peripheral whose characteristic values the test sets; it records reads
// and writes in order and fails every access to a role listed in `failing`.
class scripted_peripheral final : public ble::PeripheralBackend {
 public:
  std::map<role, ble::ByteArray> values;
  std::set<role> failing;
  std::vector<role> reads;
  std::vector<std::pair<role, ble::ByteArray>> writes;

  std::string identifier() override { return "CY SCRIPTED 1"; }
  std::string address() override { return "00:00:00:00:00:01"; }
  void connect() override {}
  void disconnect() override {}
  bool is_connected() override { return true; }
  std::uint16_t mtu() override { return 247; }
  ble::ByteArray read(const std::string& service, const std::string& characteristic) override {
    const role r = check(service, characteristic);
    reads.push_back(r);
    return values[r];
  }
  void write_request(const std::string& service, const std::string& characteristic,
                     const ble::ByteArray& data) override {
    writes.emplace_back(check(service, characteristic), data);
  }
  void notify(const std::string&, const std::string&, ble::NotifyCallback) override {}
  void unsubscribe(const std::string&, const std::string&) override {}
  void set_callback_on_disconnected(ble::DisconnectCallback) override {}

 private:
  role check(const std::string& service, const std::string& characteristic) {
    const auto r = gatt::role_from_uuids(service, characteristic);
    if (!r) throw ble::not_found_error("unknown characteristic");
    if (failing.count(*r) != 0) throw ble::operation_failed_error("scripted failure");
    return *r;
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
    device = std::make_shared<scripted_peripheral>();
    manager->peripheral = ble::Peripheral(device);
    manager->connected = true;
  }
  void TearDown() override {
    manager.reset();
    LibraryTest::TearDown();
  }

  cy_eeg_manager* handle() { return reinterpret_cast<cy_eeg_manager*>(manager.get()); }

  // Log lines without the "[LEVEL] [eeg_manager] (address): " framing that
  // start with `level`.
  std::vector<std::string> messages(const std::string& level) const {
    std::vector<std::string> out;
    for (const std::string& line : log_lines()) {
      const auto body = line.find("): ");
      if (line.rfind("[" + level + "] [eeg_manager] (", 0) == 0 && body != std::string::npos) {
        out.push_back(line.substr(body + 3));
      }
    }
    return out;
  }
  bool logged(const std::string& level, const std::string& message) const {
    const auto lines = messages(level);
    return std::find(lines.begin(), lines.end(), message) != lines.end();
  }

  void script_battery(ble::ByteArray status, ble::ByteArray energy, ble::ByteArray health) {
    device->values[role::battery_status] = std::move(status);
    device->values[role::battery_energy] = std::move(energy);
    device->values[role::battery_health] = std::move(health);
  }

  std::unique_ptr<eeg_manager_implementation> manager;
  std::shared_ptr<scripted_peripheral> device;
};

TEST_F(BatteryTest, DecodesTheStatusByteEnergyAndHealth) {
  struct status_case {
    int power_state;
    bool charger;
    std::int32_t charge_state;
    std::int32_t bit7;
  };
  for (const status_case c : {status_case{0x22, true, 1, 0}, status_case{0x42, true, 2, 0},
                              status_case{0x80, false, 0, 1}, status_case{0xFF, true, 3, 1}}) {
    SCOPED_TRACE(c.power_state);
    script_battery(bytes({0x11, c.power_state, 0xEE, 80, 0x99}), bytes({0, 0x00, 0x3C, 0x00, 0x40}),
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
  EXPECT_EQ(device->reads.front(), role::battery_status);
  EXPECT_EQ(device->reads[1], role::battery_energy);
  EXPECT_EQ(device->reads[2], role::battery_health);
}

TEST_F(BatteryTest, ShortValuesReadAsZeroWithoutReadingPastTheirEnd) {
  // Voltage has both its bytes, current only its low byte.
  script_battery(bytes({0, 0x22}), bytes({0, 0x00, 0x3C, 0x05}), bytes({}));
  const cy_full_battery_info info = manager->read_full_battery_info();
  EXPECT_EQ(info.level, 0);
  EXPECT_TRUE(info.is_charger_connected);
  EXPECT_EQ(info.voltage, 1.0f);
  EXPECT_EQ(info.current, std::ldexp(5.0f, -24));  // the subnormal 0x0005
  EXPECT_EQ(info.health, 0.0f);

  script_battery(bytes({}), bytes({}), bytes({7}));
  const cy_full_battery_info empty = manager->read_full_battery_info();
  EXPECT_EQ(empty.level, 0);
  EXPECT_FALSE(empty.is_charger_connected);
  EXPECT_EQ(empty.voltage, 0.0f);
  EXPECT_EQ(empty.health, 0.0f);
}

TEST_F(BatteryTest, FullQueryUpdatesTheCacheLogsAndCallsBack) {
  script_battery(bytes({0, 0x22, 0, 80}), bytes({0, 0x00, 0x3C, 0x00, 0x40}), bytes({0, 87}));
  struct seen_t {
    int calls = 0;
    cy_full_battery_info info{};
  } seen;
  const auto callback = [](const cy_full_battery_info* info, void* data) {
    auto* s = static_cast<seen_t*>(data);
    ++s->calls;
    s->info = *info;
  };
  ASSERT_EQ(cy_eeg_manager_get_full_battery_info(handle(), callback, &seen), CY_OK);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.info.level, 80);
  EXPECT_EQ(seen.info.health, 87.0f);

  const std::size_t reads_before = device->reads.size();
  const cy_battery_info cached = cy_eeg_manager_get_battery_info(handle());
  EXPECT_EQ(device->reads.size(), reads_before) << "the quick query must not contact the device";
  EXPECT_EQ(cached.level, 80);
  EXPECT_TRUE(cached.is_charger_connected);
  EXPECT_TRUE(cached.is_charging);

  EXPECT_TRUE(logged("INFO", "Getting full battery info..."));
  EXPECT_TRUE(logged("INFO",
                     "Battery info: level=80, voltage=1, current=2, health=87, "
                     "is_charger_connected=true, is_charging=true"));
  EXPECT_TRUE(logged("DEBUG", "Future callback done"));

  // Without a callback the device is still read and the cache refreshed.
  script_battery(bytes({0, 0x42, 0, 12}), bytes({0, 0x66, 0x3E, 0x00, 0xBC}), bytes({0, 50}));
  ASSERT_EQ(cy_eeg_manager_get_full_battery_info(handle(), nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_get_battery_info(handle()).level, 12);
  EXPECT_FALSE(cy_eeg_manager_get_battery_info(handle()).is_charging);
  EXPECT_TRUE(logged("INFO",
                     "Battery info: level=12, voltage=1.59961, current=-1, health=50, "
                     "is_charger_connected=true, is_charging=false"));
}

TEST_F(BatteryTest, FullQueryFailuresAreCodesAndLeaveTheCache) {
  script_battery(bytes({0, 0x22, 0, 80}), bytes({0, 0, 0, 0, 0}), bytes({0, 1}));
  manager->store_battery_cache(manager->read_full_battery_info());
  device->failing.insert(role::battery_health);
  device->values[role::battery_status] = bytes({0, 0, 0, 5});
  int calls = 0;
  const auto callback = [](const cy_full_battery_info*, void* data) { ++*static_cast<int*>(data); };
  EXPECT_EQ(cy_eeg_manager_get_full_battery_info(handle(), callback, &calls), CY_CONNECTION_ERROR);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(cy_eeg_manager_get_battery_info(handle()).level, 80);
  EXPECT_TRUE(logged("ERROR", "Caught connection error: scripted failure"));

  // Not connected: a code, not OK, and no device traffic.
  manager->connected = false;
  const std::size_t reads_before = device->reads.size();
  EXPECT_EQ(cy_eeg_manager_get_full_battery_info(handle(), callback, &calls), CY_CONNECTION_ERROR);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(device->reads.size(), reads_before);
  EXPECT_TRUE(logged("INFO", "Unable to get full battery info - no connection to device"));
  // The cache keeps its values but is not reported while disconnected.
  const cy_battery_info quick = cy_eeg_manager_get_battery_info(handle());
  EXPECT_EQ(quick.level, 0);
  EXPECT_FALSE(quick.is_charger_connected);
}

TEST_F(BatteryTest, NotificationStoresLogsAndCallsTheBatteryCallback) {
  struct seen_t {
    std::vector<cy_battery_info> records;
    cy_battery_info cache_during_call{};
    eeg_manager_implementation* manager = nullptr;
  } seen;
  seen.manager = manager.get();
  manager->set_callback_battery(
      [](const cy_battery_info* info, void* data) {
        auto* s = static_cast<seen_t*>(data);
        s->records.push_back(*info);
        // The cache lock is released before the callback runs.
        s->cache_during_call = s->manager->get_battery_info();
      },
      &seen);

  manager->on_battery_notification(bytes({0, 0x22, 0, 64}));
  manager->on_battery_notification(bytes({0, 0x22, 0, 64}));
  manager->on_battery_notification(bytes({0, 0x02}));  // short: level 0
  ASSERT_EQ(seen.records.size(), 3u);
  EXPECT_EQ(seen.records[0].level, 64);
  EXPECT_TRUE(seen.records[0].is_charging);
  EXPECT_EQ(seen.cache_during_call.level, 0);
  EXPECT_TRUE(seen.cache_during_call.is_charger_connected);
  EXPECT_FALSE(seen.cache_during_call.is_charging);

  const auto infos = messages("INFO");
  EXPECT_EQ(std::count(infos.begin(), infos.end(), "battery level dropped: 64"), 2);
  EXPECT_EQ(std::count(infos.begin(), infos.end(), "battery level dropped: 0"), 1);
  EXPECT_TRUE(device->reads.empty());
}

TEST_F(BatteryTest, ChargingSettingsRead) {
  device->values[role::charging_setting_timeout] = bytes({30, 9});
  device->values[role::charging_setting_flag] = bytes({0x02});
  cy_charging_settings settings = cy_eeg_manager_get_charging_settings(handle());
  EXPECT_TRUE(settings.flag);
  EXPECT_EQ(settings.sleep_timeout, 30);
  EXPECT_EQ(device->reads, (std::vector<role>{role::charging_setting_timeout,
                                              role::charging_setting_flag}));

  device->values[role::charging_setting_timeout] = bytes({});
  device->values[role::charging_setting_flag] = bytes({});
  settings = cy_eeg_manager_get_charging_settings(handle());
  EXPECT_FALSE(settings.flag);
  EXPECT_EQ(settings.sleep_timeout, 0);

  device->values[role::charging_setting_timeout] = bytes({30});
  device->failing.insert(role::charging_setting_flag);
  settings = cy_eeg_manager_get_charging_settings(handle());
  EXPECT_FALSE(settings.flag);
  EXPECT_EQ(settings.sleep_timeout, 0);
  EXPECT_TRUE(logged("ERROR", "Caught connection error: scripted failure"));

  manager->connected = false;
  device->reads.clear();
  settings = cy_eeg_manager_get_charging_settings(handle());
  EXPECT_EQ(settings.sleep_timeout, 0);
  EXPECT_TRUE(device->reads.empty());
  EXPECT_TRUE(logged("INFO", "Unable to get charging settings - no connection to device"));
}

TEST_F(BatteryTest, ChargingSettingsWrite) {
  EXPECT_TRUE(cy_eeg_manager_set_charging_settings(handle(), cy_charging_settings{true, 0}));
  EXPECT_TRUE(logged("INFO", "Sleep timeout must be greater than 0, setting to 1."));

  // A C caller's "true" may be any non-zero byte; it goes out unchanged.
  cy_charging_settings raw{};
  const std::uint8_t five = 5;
  std::memcpy(&raw.flag, &five, 1);
  raw.sleep_timeout = 30;
  EXPECT_TRUE(cy_eeg_manager_set_charging_settings(handle(), raw));

  const std::vector<std::pair<role, ble::ByteArray>> expected = {
      {role::charging_setting_timeout, bytes({1})},  {role::charging_setting_flag, bytes({1})},
      {role::charging_setting_timeout, bytes({30})}, {role::charging_setting_flag, bytes({5})}};
  EXPECT_EQ(device->writes, expected);

  device->failing.insert(role::charging_setting_flag);
  EXPECT_FALSE(cy_eeg_manager_set_charging_settings(handle(), cy_charging_settings{true, 3}));
  EXPECT_TRUE(logged("ERROR", "Caught connection error: scripted failure"));

  manager->connected = false;
  device->writes.clear();
  EXPECT_FALSE(cy_eeg_manager_set_charging_settings(handle(), cy_charging_settings{true, 3}));
  EXPECT_TRUE(device->writes.empty());
  EXPECT_TRUE(logged("INFO", "Unable to set charging settings - no connection to device"));
}

// End to end: a virtual headset's battery and charging settings through the
// public C API, notifications arriving on the backend's thread.
class VirtualBatteryTest : public testing::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_EQ(cy_virtual_configure("CY KESTREL 5,battery=70,pace=fast"), CY_OK);
    ASSERT_EQ(cy_virtual_set_scan_scale(0.1), CY_OK);
    init_with(default_config());
    handle = cy_eeg_manager_new();
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(cy_eeg_manager_connect(handle, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  }
  void TearDown() override {
    cy_eeg_manager_free(handle);
    cy_virtual_reset();
    LibraryTest::TearDown();
  }
  cy_eeg_manager* handle = nullptr;
};

TEST_F(VirtualBatteryTest, CacheFollowsNotificationsFromTheHeadset) {
  cy_battery_info first = cy_eeg_manager_get_battery_info(handle);
  EXPECT_EQ(first.level, 70);
  EXPECT_FALSE(first.is_charging);

  struct seen_t {
    std::atomic<int> level{-1};
    std::atomic<bool> on_host_thread{false};
    std::thread::id host;
  } seen;
  seen.host = std::this_thread::get_id();
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
  ASSERT_EQ(seen.level.load(), 55);
  EXPECT_FALSE(seen.on_host_thread.load());
  const cy_battery_info now = cy_eeg_manager_get_battery_info(handle);
  EXPECT_EQ(now.level, 55);
  EXPECT_TRUE(now.is_charger_connected);
  EXPECT_TRUE(now.is_charging);

  cy_full_battery_info full{};
  ASSERT_EQ(cy_eeg_manager_get_full_battery_info(
                handle,
                [](const cy_full_battery_info* info, void* data) {
                  *static_cast<cy_full_battery_info*>(data) = *info;
                },
                &full),
            CY_OK);
  EXPECT_EQ(full.level, 55);
  EXPECT_EQ(full.charge_state, CY_CHARGE_STATE_CHARGING);
}

TEST_F(VirtualBatteryTest, ChargingSettingsRoundTrip) {
  cy_charging_settings settings = cy_eeg_manager_get_charging_settings(handle);
  EXPECT_TRUE(settings.flag);
  EXPECT_EQ(settings.sleep_timeout, 30);
  ASSERT_TRUE(cy_eeg_manager_set_charging_settings(handle, cy_charging_settings{false, 0}));
  settings = cy_eeg_manager_get_charging_settings(handle);
  EXPECT_FALSE(settings.flag);
  EXPECT_EQ(settings.sleep_timeout, 1);

  cy_eeg_manager_disconnect(handle);
  EXPECT_FALSE(cy_eeg_manager_set_charging_settings(handle, cy_charging_settings{true, 9}));
  EXPECT_EQ(cy_eeg_manager_get_battery_info(handle).level, 0);
}

}  // namespace
}  // namespace calyra::core
