// The virtual headset's GATT server without any threading: what each
// characteristic answers, and how the headset reacts to what is written.
// Used only through headset_model, which serialises all calls.
//
// Before any configuration record arrives the headset streams every electrode
// at multiplier 8 and 250 Hz, impedance off: the same scaling the library
// applies to a channel without a gain entry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/device_config.h"
#include "simulator/model_shapes.h"
#include "protocol/config_record.h"
#include "protocol/gatt_map.h"

namespace calyra::simulator {

struct notification {
  gatt::role role;
  std::string payload;
};

class headset_state {
 public:
  headset_state(const device_config& config, const model_shape& shape);

  // Throws gatt_error (rejected) for a characteristic that is not readable.
  std::string read(gatt::role role) const;
  // Applies a write; returns the notifications the headset sends in answer.
  // Throws gatt_error (rejected) for a characteristic that is not writable or
  // a value the headset rejects.
  std::vector<notification> write(gatt::role role, const std::string& value);

  static bool can_notify(gatt::role role);

  bool stream_requested() const { return stream_requested_; }
  // True once per start command; the caller restarts the packet counter.
  bool take_stream_restart();
  const protocol::config_record& config() const { return config_; }
  const std::string& last_config_bytes() const { return last_config_bytes_; }

  // New battery values; returns the battery_status value to notify.
  std::string set_battery(std::uint8_t level, bool charging);

  // The link went down: the headset stops streaming and leaves update mode.
  void on_link_lost();

  std::uint64_t ota_image_bytes() const { return ota_image_bytes_; }
  bool ota_completed() const { return ota_completed_; }

 private:
  std::vector<notification> write_ota_control(const std::string& value);
  void write_ota_data(const std::string& value);

  const device_config& device_;
  std::size_t electrode_count_;
  protocol::config_record config_;
  std::string last_config_bytes_;
  bool stream_requested_ = false;
  bool stream_restart_ = false;
  std::uint8_t battery_level_;
  bool charging_;
  std::uint8_t charging_timeout_ = 30;
  std::uint8_t charging_flag_ = 1;
  // Firmware update exchange.
  std::uint16_t ota_block_size_ = 0;
  bool ota_update_mode_ = false;
  bool ota_accepting_ = false;
  bool ota_completed_ = false;
  std::uint64_t ota_image_bytes_ = 0;
};

}  // namespace calyra::simulator
