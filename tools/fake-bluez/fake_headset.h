// One virtual headset as the fake BlueZ presents it: the same GATT state and
// packet source as the in-process virtual headsets, driven by the fake's
// single event-loop thread (no locking, no threads of its own).
//
// Timing follows the in-process headset: the first packet is due one packet
// time after the start command (or after notifications of stream_data are
// enabled), then one per packet time; a consumer far behind gets no burst.
// `pace=fast` cannot follow the consumer over D-Bus, so it sends one packet
// every fast_period.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ble/virtual/device_config.h"
#include "ble/virtual/headset_state.h"
#include "ble/virtual/model_shapes.h"
#include "ble/virtual/packet_source.h"

namespace calyra::fake_bluez {

namespace vb = core::ble::virtual_ble;
using clock = std::chrono::steady_clock;

// A GATT failure as BlueZ reports it over D-Bus.
struct gatt_failure {
  std::string name;
  std::string message;
};

class fake_headset {
 public:
  static constexpr std::chrono::microseconds fast_period{500};

  explicit fake_headset(vb::device_config config);
  fake_headset(const fake_headset&) = delete;
  fake_headset& operator=(const fake_headset&) = delete;

  const vb::device_config& config() const { return config_; }
  bool connected() const { return connected_; }

  void connect(clock::time_point now);
  // The link ends (requested or lost): streaming and update mode stop.
  void disconnect();

  // Throws gatt_failure.
  std::string read(core::gatt::role role) const;
  // Returns the notifications the headset answers with. Throws gatt_failure.
  std::vector<vb::notification> write(core::gatt::role role, const std::string& value,
                                       clock::time_point now);

  // Whether the headset's notifications of a characteristic are enabled
  // (BlueZ holds at least one session for it).
  void set_notifying(core::gatt::role role, bool on, clock::time_point now);
  bool notifying(core::gatt::role role) const { return notifying_.count(role) != 0; }

  // When the next stream packet is due, if the stream runs.
  std::optional<clock::time_point> next_packet_due() const;
  struct sent {
    std::optional<std::string> payload;  // empty when the packet was lost on the air
    bool drop_link = false;               // drop_after reached
  };
  sent send_packet(clock::time_point now);

  std::string set_battery(std::uint8_t level, bool charging);

  // Start commands received so far.
  std::uint64_t starts() const { return starts_; }
  std::uint64_t packets_sent() const { return packets_sent_; }
  std::uint64_t packets_lost() const { return packets_lost_; }
  bool streaming() const { return stream_active(); }
  std::uint64_t ota_image_bytes() const { return state_.ota_image_bytes(); }
  bool ota_completed() const { return state_.ota_completed(); }
  const std::string& last_config() const { return state_.last_config_bytes(); }

 private:
  bool stream_active() const;
  void schedule_first_packet(clock::time_point now);
  void check_access(core::gatt::role role) const;

  const vb::device_config config_;
  const vb::model_shape shape_;
  vb::headset_state state_;
  vb::packet_source source_;
  bool connected_ = false;
  std::set<core::gatt::role> notifying_;
  clock::time_point next_packet_{};
  std::uint64_t packets_this_link_ = 0;
  std::uint64_t packets_sent_ = 0;
  std::uint64_t packets_lost_ = 0;
  std::uint64_t starts_ = 0;
};

}  // namespace calyra::fake_bluez
