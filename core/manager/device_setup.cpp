// Device initialisation after the link is up: identity, capability set,
// compatibility, decoder and channel set-up, chip report, first battery
// reading and battery subscription.
#include <cstdio>
#include <string>

#include "manager/device_support_error.h"
#include "manager/eeg_manager_implementation.h"
#include "library/version.h"

namespace calyra::core {

namespace {

constexpr cy_version supported_hardware{2, 0, 0};
constexpr cy_version supported_firmware{3, 6, 1};

bool first_byte_set(const ble::ByteArray& value) { return !value.empty() && value[0] != 0; }

}  // namespace

void eeg_manager_implementation::initialise_device() {
  // std::stoi throws std::invalid_argument for a text without a leading
  // number; connect reports that like a BLE failure.
  const std::uint8_t model_code =
      static_cast<std::uint8_t>(std::stoi(read_characteristic(gatt::role::model_number)));
  read_device_information(model_code);

  features = capabilities::for_model_code(device_info.id);
  if (features == nullptr) {
    throw device_support_error("model code " + std::to_string(model_code));
  }

  compatible = is_compatible(device_info.hardware_version, supported_hardware) &&
               is_compatible(device_info.firmware_version, supported_firmware);
  const log_level report_level =
      is_compatible(device_info.hardware_version, supported_hardware) ? log_level::INFO
                                                                      : log_level::WARNING;
  log(report_level, [&](std::ostream& out) {
    char id[3];
    std::snprintf(id, sizeof id, "%02X", static_cast<unsigned>(device_info.id));
    out << "Device: id{" << id << "}, hw{" << get_version_string(device_info.hardware_version)
        << "}, fw{" << get_version_string(device_info.firmware_version) << "}, sn{"
        << device_info.serial_number << "}, samples per packet{"
        << static_cast<unsigned>(features->samples_per_packet()) << "}, "
        << (compatible ? "" : "in") << "compatible";
  });

  configure_for_model(*features);

  int pending = 2;
  report_chips();
  --pending;
  store_battery_cache(read_full_battery_info());
  --pending;
  if (pending == 0) log_text(log_level::INFO, "Device initialized");

  const auto battery = gatt::uuids(gatt::role::battery_status);
  peripheral.notify(battery.service, battery.characteristic,
                    [this](const ble::ByteArray& payload, std::int64_t) { on_battery_notification(payload); });

  log_text(log_level::INFO, "Connected");
  log(log_level::INFO, [&](std::ostream& out) { out << "MTU size: " << peripheral.mtu(); });
}

void eeg_manager_implementation::read_device_information(std::uint8_t model_code) {
  cy_device_info info = device_info;
  info.id = model_code <= capabilities::max_model_code ? model_code : 255;
  info.hardware_version = version_from_string(read_characteristic(gatt::role::hardware_revision));
  info.firmware_version = version_from_string(read_characteristic(gatt::role::firmware_revision));

  const std::string serial = read_characteristic(gatt::role::serial_number);
  // The serial number is the decimal value of the text's last three
  // characters; a text that is too short or does not end in digits leaves it
  // as it was.
  bool serial_read = false;
  if (serial.size() >= 3) {
    const std::string tail = serial.substr(serial.size() - 3);
    if (tail.find_first_not_of("0123456789") == std::string::npos) {
      info.serial_number = std::stoull(tail);
      serial_read = true;
    }
  }
  if (!serial_read) log_text(log_level::WARNING, "Wrong Serial number.");
  device_info = info;
}

void eeg_manager_implementation::configure_for_model(const device_features_internal& model) {
  features = &model;
  const int count = model.electrode_count();
  electrode_count = count;

  electrode_channels.clear();
  contact_channels.clear();
  for (int i = 0; i < count; ++i) {
    electrode_channels.push_back(static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_MEASUREMENT + i));
    contact_channels.push_back(static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_CONTACT + i));
  }

  const int difference_size = model.sample_difference_size();
  if (difference_size == 11) {
    difference_mask = 0xFFF;
  } else if (difference_size == 12) {
    difference_mask = 0x1FFF;
  } else {
    log(log_level::WARNING, [&](std::ostream& out) {
      out << "Device has an unknown data size: " << difference_size << " bits";
    });
  }

  // Rebuilt rather than added to, so that ids of a previously connected
  // larger model do not stay typed (and buffered) on a smaller one.
  channel_data_type_map.clear();
  channel_data_type_map[eeg_channel_id::SAMPLE_NUMBER] = channel_data_type::UINT64;
  channel_data_type_map[eeg_channel_id::STREAMING] = channel_data_type::UINT8;
  for (const std::uint16_t id : electrode_channels) channel_data_type_map[id] = channel_data_type::FLOAT64;
  for (const std::uint16_t id : contact_channels) channel_data_type_map[id] = channel_data_type::UINT8;
  for (const std::uint16_t id : accelerometer_channels) channel_data_type_map[id] = channel_data_type::FLOAT32;
}

void eeg_manager_implementation::report_chips() {
  const bool ads = first_byte_set(read_characteristic(gatt::role::ads_chip_status));
  const bool motion = first_byte_set(read_characteristic(gatt::role::motion_chip_status));
  const bool battery_manager =
      first_byte_set(read_characteristic(gatt::role::battery_manager_chip_status));

  const auto set_bit = [this](int bit, bool on) {
    const auto mask = static_cast<std::uint8_t>(1u << bit);
    chip_status = on ? static_cast<std::uint8_t>(chip_status | mask)
                     : static_cast<std::uint8_t>(chip_status & ~mask);
  };
  set_bit(0, ads);
  set_bit(1, battery_manager);
  set_bit(2, motion);

  if (ads) {
    log_text(log_level::DEBUG, "ADS chips connected");
  } else {
    log_text(log_level::WARNING, "ADS chips NOT connected");
  }
  if (features->has_accel()) {
    const char* chip = features->has_gyro() ? "IMU" : "Accelerometer";
    if (motion) {
      log(log_level::DEBUG, [&](std::ostream& out) { out << chip << " chip connected "; });
    } else {
      log(log_level::WARNING, [&](std::ostream& out) { out << chip << " chip NOT connected"; });
    }
  }
  if (battery_manager) {
    log_text(log_level::DEBUG, "Battery manager chip connected");
  } else {
    log_text(log_level::WARNING, "Battery manager chip NOT connected");
  }
}

}  // namespace calyra::core
