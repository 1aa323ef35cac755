// One simulated headset, single-threaded: its link state, GATT server, packet
// source, pacing, loss, link losses (drop_after, drop_every, down_ms) and
// configured failures. Hosts (the
// in-process virtual backend and the fake BlueZ) serialise the calls and move
// what the headset sends to their consumers; they do not pace by themselves.
//
// Time is always given by the host. Everything the headset sends goes through
// due_notifications(now): answers to writes, battery changes and stream
// packets, in the order they leave the headset. next_due_time() tells the host
// when to ask next. This is the one place that decides when a notification is
// due, so whatever shapes timing (pacing, a drop after N packets or after a
// random time) lives here.
//
// Timing: the headset starts sampling at the start command (or when
// notifications of stream_data are enabled) on its own clock (sample_clock:
// clock_ppm), so the first packet is ready one packet time later, then one
// per packet time. A packet is due when the radio delivers it
// (radio_schedule: interval_ms, delay_ms, stall); with the default radio that
// is the moment it is ready. Payloads are built when they are due, so a
// trigger marks samples not yet sent. Only with the default timing (none of
// the four keys set) does a host that fell more than a second behind get no
// burst to catch up (the headset pauses); otherwise the headset keeps its
// clock and the host gets everything it missed. A stop, an unsubscription or
// a lost link drops what the radio still holds. With pace=fast a packet is
// due every `fast_period` (zero: each time the host asks), whatever the
// timing keys say.
//
// Link loss: the headset stops streaming and is out of reach for the down
// time (down_ms, or what the host asks for): it does not advertise and
// connect() fails. It does not buffer: whatever it acquires while down is
// lost. Its sample clock keeps running, so a stream started after the
// reconnect takes its samples at the host times of that moment, and the
// packet counter starts again at 0 with that start command, as with every
// start.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "simulator/device_config.h"
#include "simulator/headset_state.h"
#include "simulator/link_outages.h"
#include "simulator/model_shapes.h"
#include "simulator/packet_source.h"
#include "simulator/radio_schedule.h"
#include "simulator/sample_clock.h"

namespace calyra::simulator {

struct model_stats {
  bool connected = false;
  bool streaming = false;  // start command received and stream_data notifying
  std::uint64_t starts = 0;  // start commands received
  std::uint64_t packets_sent = 0;
  std::uint64_t packets_lost = 0;
  std::uint64_t ota_image_bytes = 0;
  bool ota_completed = false;
};

class headset_model {
 public:
  headset_model(device_config config, clock::duration fast_period);
  headset_model(const headset_model&) = delete;
  headset_model& operator=(const headset_model&) = delete;

  const device_config& config() const { return config_; }
  bool connected() const { return connected_; }
  // In reach (not within a down time after a link loss).
  bool reachable(clock::time_point now) const { return outages_.reachable(now); }
  // Seen by a scan: configured to advertise, in reach and not connected.
  bool advertising(clock::time_point now) const {
    return config_.advertising && !connected_ && reachable(now);
  }
  // When the headset is back in reach after the last loss.
  clock::time_point back_at() const { return outages_.back_at(); }

  // False (nothing changes) while the headset is out of reach.
  [[nodiscard]] bool connect(clock::time_point now);
  // The link ends (requested or lost): streaming and update mode stop and
  // nothing queued is sent. Which notifications are enabled is the host's
  // business (BlueZ keeps its sessions across links).
  void disconnect();
  // The link is lost at `now` (out of range): as disconnect(), and the
  // headset stays out of reach for `down`.
  void lose_link(clock::time_point now, clock::duration down);

  // Both throw gatt_error. A write's answers are queued for
  // due_notifications(); they are due at once.
  std::string read(gatt::role role) const;
  void write(gatt::role role, const std::string& value, clock::time_point now);

  static bool can_notify(gatt::role role) { return headset_state::can_notify(role); }
  // Whether the host wants the headset's notifications of `role`.
  void set_notifying(gatt::role role, bool on, clock::time_point now);
  bool notifying(gatt::role role) const { return notifying_.count(role) != 0; }

  // New battery values; a battery_status notification is queued when enabled
  // (replacing one still queued).
  void set_battery(std::uint8_t level, bool charging);

  struct output {
    std::vector<notification> notifications;
    // drop_after or drop_every ended the link: it is gone (disconnect() has
    // run) and the headset is out of reach for down_ms.
    bool link_lost = false;
  };
  // What the headset sends up to `now`, at most `limit` notifications (the
  // rest stays due).
  output due_notifications(clock::time_point now,
                           std::size_t limit = std::numeric_limits<std::size_t>::max());
  // When due_notifications() has something next; nullopt: nothing until the
  // host calls something else.
  std::optional<clock::time_point> next_due_time() const;

  // A trigger input (a photodiode on electrode 0) fires at `now`: the first
  // sample the headset takes at or after `now` by its own clock, and the
  // packet_source::trigger_samples - 1 after it, carry an extra
  // packet_source::trigger_microvolts. False (nothing marked) when not streaming.
  bool trigger(clock::time_point now);

  model_stats stats() const;
  const std::string& last_config() const { return state_.last_config_bytes(); }

 private:
  bool stream_active() const;
  void schedule_first_packet(clock::time_point now);
  void schedule_next_packet();
  void check_access(gatt::role role) const;
  void queue(notification n);

  const device_config config_;
  const model_shape shape_;
  const clock::duration fast_period_;
  headset_state state_;
  packet_source source_;
  sample_clock sample_clock_;
  radio_schedule radio_;
  link_outages outages_;
  bool connected_ = false;
  std::set<gatt::role> notifying_;
  std::deque<notification> answers_;
  clock::time_point next_packet_{};
  std::uint64_t packets_this_link_ = 0;
  std::uint64_t packets_sent_ = 0;
  std::uint64_t packets_lost_ = 0;
  std::uint64_t starts_ = 0;
};

}  // namespace calyra::simulator
