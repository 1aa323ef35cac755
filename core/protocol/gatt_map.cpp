#include "protocol/gatt_map.h"

#include <array>
#include <cstdio>

namespace calyra::core::gatt {
namespace {

struct role_entry {
  const char* name;
  service_key service;
  std::uint8_t key;
};

// Indexed by role; the keys are those of the service's own table.
constexpr std::array<role_entry, role_count> role_entries = {{
    {"stream_control", service_key::stream_service, 0},
    {"stream_data", service_key::stream_service, 2},
    {"stream_config", service_key::stream_service, 3},
    {"battery_status", service_key::battery_service, 1},
    {"battery_energy", service_key::battery_service, 2},
    {"battery_health", service_key::battery_service, 3},
    {"charging_setting_timeout", service_key::charging_settings_service, 0},
    {"charging_setting_flag", service_key::charging_settings_service, 1},
    {"ota_control", service_key::firmware_update_service, 0},
    {"ota_status", service_key::firmware_update_service, 1},
    {"ota_data", service_key::firmware_update_service, 2},
    {"model_number", service_key::device_information_service, 1},
    {"serial_number", service_key::device_information_service, 2},
    {"hardware_revision", service_key::device_information_service, 3},
    {"firmware_revision", service_key::device_information_service, 4},
    {"ads_chip_status", service_key::device_information_service, 5},
    {"motion_chip_status", service_key::device_information_service, 6},
    {"battery_manager_chip_status", service_key::device_information_service, 7},
}};

const role_entry& entry(role r) { return role_entries.at(static_cast<std::size_t>(r)); }

}  // namespace

const uuid_table& services_uuids_list() {
  static const uuid_table table = {
      {0, "0000180a-0000-1000-8000-00805f9b34fb"},
      {1, "0000180f-0000-1000-8000-00805f9b34fb"},
      {2, "ace20bb6-5d39-45de-9f21-b101acf45b9b"},
      {3, "a3543662-77ab-47e4-a9e1-7c2cff80798f"},
      {4, "12af3c98-4bd2-71e0-a615-5933cb7d8244"},
  };
  return table;
}

const uuid_table& service_stream_uuids_list() {
  static const uuid_table table = {
      {0, "49beba02-5f6b-4ca2-b3c9-2e6b71aa9392"},
      {2, "a12f7c4b-9e8d-6a53-1e0f-c274815b36d7"},
      {3, "3467e3a2-4511-ae66-7515-b26fce099337"},
  };
  return table;
}

const uuid_table& service_battery_uuids_list() {
  static const uuid_table table = {
      {1, "00002bed-0000-1000-8000-00805f9b34fb"},
      {2, "00002bf0-0000-1000-8000-00805f9b34fb"},
      {3, "00002bea-0000-1000-8000-00805f9b34fb"},
  };
  return table;
}

const uuid_table& service_charging_settings_uuids_list() {
  static const uuid_table table = {
      {0, "f48d62c0-379e-11b3-5af7-c1489b2e73da"},
      {1, "7e291fa1-cc5b-6a94-3e2b-b810d46692ef"},
  };
  return table;
}

const uuid_table& service_firmware_update_uuids_list() {
  static const uuid_table table = {
      {0, "c71a59d2-d06c-42ce-a23b-30fca36a11fc"},
      {1, "88c5128f-87e9-46bd-9f96-5d61f27c7438"},
      {2, "177307e5-22f9-419c-b40a-d5777b767536"},
  };
  return table;
}

const uuid_table& service_device_information_uuids_list() {
  static const uuid_table table = {
      {1, "00002a24-0000-1000-8000-00805f9b34fb"},
      {2, "00002a25-0000-1000-8000-00805f9b34fb"},
      {3, "00002a27-0000-1000-8000-00805f9b34fb"},
      {4, "00002a26-0000-1000-8000-00805f9b34fb"},
      {5, "48083f25-6682-4d1d-ad3c-81ba55f88904"},
      {6, "059dc6a5-bd31-4c81-aa75-70c5e4600610"},
      {7, "0e4c9350-bcde-407e-8a50-f71a1ae71d26"},
  };
  return table;
}

const uuid_table& characteristics_of(service_key s) {
  switch (s) {
    case service_key::device_information_service: return service_device_information_uuids_list();
    case service_key::battery_service: return service_battery_uuids_list();
    case service_key::stream_service: return service_stream_uuids_list();
    case service_key::firmware_update_service: return service_firmware_update_uuids_list();
    case service_key::charging_settings_service: return service_charging_settings_uuids_list();
  }
  return service_stream_uuids_list();  // unreachable: every key is handled above
}

service_key service_of(role r) { return entry(r).service; }
std::uint8_t characteristic_key(role r) { return entry(r).key; }

uuid_pair uuids(role r) {
  const role_entry& e = entry(r);
  return {services_uuids_list().at(static_cast<std::uint8_t>(e.service)),
          characteristics_of(e.service).at(e.key)};
}

const char* role_name(role r) { return entry(r).name; }

std::optional<role> role_from_name(std::string_view name) {
  for (std::size_t i = 0; i < role_entries.size(); ++i)
    if (name == role_entries[i].name) return static_cast<role>(i);
  return std::nullopt;
}

std::optional<role> role_from_uuids(std::string_view service, std::string_view characteristic) {
  for (std::size_t i = 0; i < role_count; ++i) {
    const uuid_pair pair = uuids(static_cast<role>(i));
    if (pair.service == service && pair.characteristic == characteristic)
      return static_cast<role>(i);
  }
  return std::nullopt;
}

std::string to_hex(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace calyra::core::gatt
