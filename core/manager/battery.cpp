// Battery state: the cache kept current by battery_status notifications, the
// quick query that answers from it and the full query that reads the device.
//
// The characteristics are decoded at fixed byte positions; a value shorter
// than a position reads 0 there instead of reading past its end, except a
// battery_status notification too short to hold the level, which is ignored.
#include <mutex>
#include <ostream>
#include <shared_mutex>

#include "manager/conversions.h"
#include "manager/eeg_manager_implementation.h"

namespace calyra::core {
namespace {

// battery_status carries the level in byte 3: a shorter record says nothing
// about the level.
constexpr std::size_t battery_status_size = 4;

std::uint8_t byte_at(const ble::ByteArray& value, std::size_t index) {
  return index < value.size() ? static_cast<std::uint8_t>(value[index]) : 0;
}

std::uint16_t little_endian_u16_at(const ble::ByteArray& value, std::size_t index) {
  return static_cast<std::uint16_t>(byte_at(value, index) | (byte_at(value, index + 1) << 8));
}

// battery_status byte 1 is the low byte of the power-state field: bit 1
// charger connected, bits 5-6 charge state, bit 7 on its own (byte 2, which
// would complete a two-bit field, is never read).
void decode_battery_status(const ble::ByteArray& value, cy_full_battery_info& info) {
  const std::uint8_t power_state = byte_at(value, 1);
  info.is_charger_connected = ((power_state >> 1) & 1) != 0;
  info.level = byte_at(value, 3);
  info.charge_state = (power_state >> 5) & 3;
  info.power_state_bit7 = power_state >> 7;
}

cy_battery_info quick_record(const cy_full_battery_info& info) {
  return cy_battery_info{info.level, info.is_charger_connected,
                         info.charge_state == CY_CHARGE_STATE_CHARGING};
}

}  // namespace

cy_full_battery_info eeg_manager_implementation::read_full_battery_info() {
  cy_full_battery_info info{};
  decode_battery_status(read_characteristic(gatt::role::battery_status), info);

  const ble::ByteArray energy = read_characteristic(gatt::role::battery_energy);
  info.voltage = float16_to_float(little_endian_u16_at(energy, 1));
  info.current = float16_to_float(little_endian_u16_at(energy, 3));

  const ble::ByteArray health = read_characteristic(gatt::role::battery_health);
  info.health = static_cast<float>(byte_at(health, 1));
  return info;
}

void eeg_manager_implementation::store_battery_cache(const cy_full_battery_info& info) {
  battery_.store(quick_record(info));
}

void eeg_manager_implementation::on_battery_notification(const ble::ByteArray& payload) {
  // Runs on the backend's notification thread: nothing may escape into it.
  try {
    // Read as level 0 it would report an empty battery the headset never
    // announced, to the cache, the log and the host's callback.
    if (payload.size() < battery_status_size) {
      log(log_level::WARNING, [&](std::ostream& out) {
        out << "Ignoring a battery notification of " << payload.size() << " bytes: the battery record needs "
            << battery_status_size;
      });
      return;
    }
    cy_full_battery_info decoded{};
    decode_battery_status(payload, decoded);
    const cy_battery_info record = quick_record(decoded);
    battery_.store(record);
    // Written for every notification, whichever way the level moved.
    log(log_level::INFO, [&](std::ostream& out) {
      out << "battery level dropped: " << static_cast<unsigned>(record.level);
    });
    // The callback hears the record just stored. It is called outside the
    // slot's lock, like the disconnect callback, so that it may replace
    // itself.
    const auto [callback, user_data] = battery_callback_.current();
    if (callback != nullptr) callback(&record, user_data);
  } catch (const std::exception& e) {
    log(log_level::ERROR, [&](std::ostream& out) {
      out << "Battery notification not handled: " << e.what();
    });
  }
}

cy_battery_info eeg_manager_implementation::get_battery_info() {
  if (!connected) {
    log_text(log_level::INFO, "Unable to get battery info - no connection to device");
    return cy_battery_info{};
  }
  return battery_.get();
}

error eeg_manager_implementation::get_full_battery_info(full_battery_callback callback,
                                                        void* user_data) {
  if (!connected) {
    return fail_logged(log_level::INFO, error::CONNECTION_ERROR, [](std::ostream& out) {
      out << "Unable to get full battery info - no connection to device";
    });
  }
  return handle_errors([&] {
    log_text(log_level::INFO, "Getting full battery info...");
    const cy_full_battery_info info = read_full_battery_info();
    store_battery_cache(info);
    log(log_level::INFO, [&](std::ostream& out) {
      out << "Battery info: level=" << static_cast<unsigned>(info.level)
          << ", voltage=" << static_cast<double>(info.voltage)
          << ", current=" << static_cast<double>(info.current)
          << ", health=" << static_cast<double>(info.health)
          << ", is_charger_connected=" << (info.is_charger_connected ? "true" : "false")
          << ", is_charging="
          << (info.charge_state == CY_CHARGE_STATE_CHARGING ? "true" : "false");
    });
    if (callback != nullptr) callback(&info, user_data);
    log_text(log_level::DEBUG, "Future callback done");
    return error::OK;
  });
}

}  // namespace calyra::core
