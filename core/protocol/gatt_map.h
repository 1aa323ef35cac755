// The headset's GATT services and characteristics: six immutable tables from
// an 8-bit key to a UUID string, and the role names the rest of the library
// uses instead of keys. UUIDs are lower-case, 36 characters with dashes, and
// go to the BLE layer exactly as written.
//
// The tables are built on first use and never change afterwards, so every
// thread may read them without locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace calyra::core::gatt {

using uuid_table = std::unordered_map<std::uint8_t, std::string>;

// Keys of services_uuids_list.
enum class service_key : std::uint8_t {
  device_information_service = 0,
  battery_service = 1,
  stream_service = 2,
  firmware_update_service = 3,
  charging_settings_service = 4,
};

enum class role : std::uint8_t {
  stream_control,
  stream_data,
  stream_config,
  battery_status,
  battery_energy,
  battery_health,
  charging_setting_timeout,
  charging_setting_flag,
  ota_control,
  ota_status,
  ota_data,
  model_number,
  serial_number,
  hardware_revision,
  firmware_revision,
  ads_chip_status,
  motion_chip_status,
  battery_manager_chip_status,
};
inline constexpr std::size_t role_count = 18;

// The service UUID and the characteristic UUID of a role. Both references
// point into the static tables and stay valid for the library's lifetime.
struct uuid_pair {
  const std::string& service;
  const std::string& characteristic;
};

uuid_pair uuids(role r);
// Where a role lives: its service key and its key in that service's table.
service_key service_of(role r);
std::uint8_t characteristic_key(role r);

// The role's name as written in the tables ("stream_control", ...).
const char* role_name(role r);
std::optional<role> role_from_name(std::string_view name);
// The role whose service and characteristic UUIDs these are, if any.
std::optional<role> role_from_uuids(std::string_view service, std::string_view characteristic);

// A pointer-sized value as exactly 16 upper-case hexadecimal digits,
// zero-filled, without prefix: 255 gives "00000000000000FF".
std::string to_hex(std::uint64_t value);

const uuid_table& services_uuids_list();
const uuid_table& service_stream_uuids_list();
const uuid_table& service_battery_uuids_list();
const uuid_table& service_charging_settings_uuids_list();
const uuid_table& service_firmware_update_uuids_list();
const uuid_table& service_device_information_uuids_list();

// The characteristic table of a service.
const uuid_table& characteristics_of(service_key s);

}  // namespace calyra::core::gatt
