#include "simulator/headset_state.h"

#include "simulator/gatt_error.h"
#include "protocol/battery_layout.h"
#include "protocol/commands.h"

namespace calyra::simulator {
namespace {

using gatt::role;

constexpr std::uint8_t default_multiplier = 8;
constexpr std::uint8_t default_rate_code = 6;  // 250 Hz

[[noreturn]] void reject(const device_config& device, role r, const std::string& why) {
  throw gatt_error(gatt_error::kind::rejected, device.name + ": " + gatt::role_name(r) + ": " + why);
}

std::string one_byte(std::uint8_t value) { return std::string(1, static_cast<char>(value)); }

}  // namespace

headset_state::headset_state(const device_config& config, const model_shape& shape)
    : device_(config),
      electrode_count_(shape.packet.electrode_count),
      battery_level_(config.battery),
      charging_(config.charging) {
  config_.gains.assign(electrode_count_, default_multiplier);
  config_.rate_code = default_rate_code;
}

bool headset_state::can_notify(role r) {
  return r == role::stream_data || r == role::battery_status || r == role::ota_status;
}

std::string headset_state::read(role r) const {
  switch (r) {
    case role::model_number: return std::to_string(device_.model);
    case role::serial_number: return device_.serial;
    case role::hardware_revision: return device_.hardware_revision;
    case role::firmware_revision: return device_.firmware_revision;
    case role::ads_chip_status:
    case role::motion_chip_status:
    case role::battery_manager_chip_status: return one_byte(1);
    case role::battery_status:
      return protocol::encode_battery_status(
          battery_level_, charging_,
          charging_ ? protocol::charge_state_charging : protocol::charge_state_discharging);
    case role::battery_energy: {
      // A lithium cell between 3.3 V and 4.2 V; positive current while charging.
      const float voltage = 3.3f + 0.9f * static_cast<float>(battery_level_) / 100.0f;
      return protocol::encode_battery_energy(voltage, charging_ ? 0.5f : -0.125f);
    }
    case role::battery_health: return protocol::encode_battery_health(95);
    case role::charging_setting_timeout: return one_byte(charging_timeout_);
    case role::charging_setting_flag: return one_byte(charging_flag_);
    case role::stream_config: return last_config_bytes_;
    default: reject(device_, r, "characteristic is not readable");
  }
}

std::vector<notification> headset_state::write(role r, const std::string& value) {
  switch (r) {
    case role::stream_control:
      if (value.size() != 1) reject(device_, r, "expected one command byte");
      if (value[0] == static_cast<char>(protocol::stream_start_command)) {
        stream_requested_ = true;
        stream_restart_ = true;
      } else if (value[0] == static_cast<char>(protocol::stream_stop_command)) {
        stream_requested_ = false;
      } else {
        reject(device_, r, "unknown stream command");
      }
      return {};
    case role::stream_config: {
      auto record = protocol::decode_config_record(value, electrode_count_);
      if (!record)
        reject(device_, r,
               "expected " + std::to_string(protocol::config_record_size(electrode_count_)) +
                   " bytes, got " + std::to_string(value.size()));
      config_ = std::move(*record);
      last_config_bytes_ = value;
      return {};
    }
    case role::charging_setting_timeout:
      if (value.size() != 1) reject(device_, r, "expected one byte");
      charging_timeout_ = static_cast<std::uint8_t>(value[0]);
      return {};
    case role::charging_setting_flag:
      if (value.size() != 1) reject(device_, r, "expected one byte");
      charging_flag_ = static_cast<std::uint8_t>(value[0]);
      return {};
    case role::ota_control: return write_ota_control(value);
    case role::ota_data: write_ota_data(value); return {};
    default: reject(device_, r, "characteristic is not writable");
  }
}

std::vector<notification> headset_state::write_ota_control(const std::string& value) {
  if (value.size() != 1) reject(device_, role::ota_control, "expected one command byte");
  const auto command = static_cast<std::uint8_t>(value[0]);
  if (command == protocol::ota_request_command) {
    ota_update_mode_ = true;
    ota_accepting_ = device_.ota_ack == protocol::ota_request_acknowledged;
    ota_completed_ = false;
    ota_image_bytes_ = 0;
    if (device_.ota_ack == 0) return {};
    return {{role::ota_status, one_byte(device_.ota_ack)}};
  }
  if (command == protocol::ota_done_command) {
    const bool good = ota_accepting_ && ota_image_bytes_ > 0;
    ota_update_mode_ = false;
    ota_accepting_ = false;
    ota_completed_ = good;
    return {{role::ota_status, one_byte(good ? protocol::ota_done_acknowledged
                                             : protocol::ota_done_not_acknowledged)}};
  }
  reject(device_, role::ota_control, "unknown update command");
}

void headset_state::write_ota_data(const std::string& value) {
  if (!ota_update_mode_) {
    // Outside update mode the only thing the headset takes is the block size.
    if (value.size() != 2) reject(device_, role::ota_data, "expected the two-byte block size");
    ota_block_size_ = static_cast<std::uint16_t>(static_cast<std::uint8_t>(value[0]) |
                                                 static_cast<std::uint8_t>(value[1]) << 8);
    return;
  }
  if (!ota_accepting_) reject(device_, role::ota_data, "update request was not accepted");
  if (value.empty() || value.size() > ota_block_size_)
    reject(device_, role::ota_data, "image block larger than the announced block size");
  ota_image_bytes_ += value.size();
}

bool headset_state::take_stream_restart() {
  const bool restart = stream_restart_;
  stream_restart_ = false;
  return restart;
}

std::string headset_state::set_battery(std::uint8_t level, bool charging) {
  battery_level_ = level;
  charging_ = charging;
  return read(role::battery_status);
}

void headset_state::on_link_lost() {
  stream_requested_ = false;
  stream_restart_ = false;
  ota_update_mode_ = false;
  ota_accepting_ = false;
}

}  // namespace calyra::simulator
