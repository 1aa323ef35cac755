#include "simulator/headset_model.h"

#include <algorithm>
#include <utility>

#include "simulator/gatt_error.h"

namespace calyra::simulator {

using gatt::role;

headset_model::headset_model(device_config config, clock::duration fast_period)
    : config_(std::move(config)),
      shape_(shape_for_model(config_.model)),
      fast_period_(fast_period),
      state_(config_, shape_),
      source_(config_, shape_),
      sample_clock_(config_.clock_ppm),
      radio_({config_.interval_ms, config_.delay_ms, config_.stalls_per_s, config_.seed}),
      outages_(config_.drop_every_s, config_.down_ms, config_.seed) {}

bool headset_model::connect(clock::time_point now) {
  if (connected_) return true;
  if (!reachable(now)) return false;
  connected_ = true;
  packets_this_link_ = 0;
  radio_.link_up(now);
  outages_.link_up(now);
  if (notifying(role::stream_data)) schedule_first_packet(now);
  return true;
}

void headset_model::disconnect() {
  if (!connected_) return;
  connected_ = false;
  state_.on_link_lost();
  answers_.clear();
}

void headset_model::lose_link(clock::time_point now, clock::duration down) {
  if (!connected_) return;
  disconnect();
  outages_.lost(now, down);
}

void headset_model::check_access(role r) const {
  if (!connected_) throw gatt_error(gatt_error::kind::not_connected, config_.name + " is not connected");
  for (role failing : config_.failing_roles)
    if (failing == r)
      throw gatt_error(gatt_error::kind::failing_role,
                       config_.name + ": " + gatt::role_name(r) + " failed");
}

std::string headset_model::read(role r) const {
  check_access(r);
  return state_.read(r);
}

void headset_model::write(role r, const std::string& value, clock::time_point now) {
  check_access(r);
  for (notification& n : state_.write(r, value)) queue(std::move(n));
  if (state_.take_stream_restart()) {
    ++starts_;
    source_.restart();
    schedule_first_packet(now);
  }
}

void headset_model::set_notifying(role r, bool on, clock::time_point now) {
  if (!on) {
    notifying_.erase(r);
    return;
  }
  if (notifying_.insert(r).second && r == role::stream_data) schedule_first_packet(now);
}

void headset_model::set_battery(std::uint8_t level, bool charging) {
  std::string value = state_.set_battery(level, charging);
  // A change not yet sent is superseded: the headset notifies its current
  // value, so a host changing it faster than it is read does not starve the
  // stream.
  for (notification& queued : answers_) {
    if (queued.role == role::battery_status) {
      queued.payload = std::move(value);
      return;
    }
  }
  queue({role::battery_status, std::move(value)});
}

void headset_model::queue(notification n) {
  // A headset only sends what the host enabled, and only over a link.
  if (connected_ && notifying(n.role)) answers_.push_back(std::move(n));
}

bool headset_model::stream_active() const {
  return connected_ && state_.stream_requested() && notifying(role::stream_data) &&
         source_.can_send(state_.config());
}

void headset_model::schedule_first_packet(clock::time_point now) {
  if (config_.pace == pacing::fast) {
    next_packet_ = now + fast_period_;
    return;
  }
  sample_clock_.start(now, source_.next_sample(), packet_source::rate_hz(state_.config()));
  // Whatever was planned before (and not sent) is gone; nothing sent earlier is still on its way.
  radio_.forget_order();
  schedule_next_packet();
}

void headset_model::schedule_next_packet() {
  const std::uint64_t first = source_.next_sample();
  sample_clock_.change_rate(first, packet_source::rate_hz(state_.config()));
  const clock::time_point ready = sample_clock_.taken_at(first + shape_.packet.samples_per_packet - 1);
  next_packet_ = radio_.arrival(ready);
}

bool headset_model::trigger(clock::time_point now) {
  if (!stream_active()) return false;
  // Samples already sent cannot change; with pace=fast there is no clock to
  // read, and the next sample is the one being taken.
  std::uint64_t first = source_.next_sample();
  if (config_.pace == pacing::realtime)
    first = std::max(first, sample_clock_.first_taken_at_or_after(now));
  source_.mark_trigger(first);
  return true;
}

std::optional<clock::time_point> headset_model::next_due_time() const {
  if (!answers_.empty()) return clock::time_point::min();
  std::optional<clock::time_point> due;
  if (stream_active()) due = next_packet_;
  if (connected_ && outages_.next_drop() != clock::time_point::max())
    due = std::min(due.value_or(clock::time_point::max()), outages_.next_drop());
  return due;
}

headset_model::output headset_model::due_notifications(clock::time_point now, std::size_t limit) {
  output out;
  while (!answers_.empty() && out.notifications.size() < limit) {
    out.notifications.push_back(std::move(answers_.front()));
    answers_.pop_front();
  }
  // Packets ready before a spontaneous loss still leave; the loss comes at its own time.
  const clock::time_point drop = outages_.next_drop();
  while (out.notifications.size() < limit && stream_active() && next_packet_ <= now &&
         next_packet_ < drop) {
    packet_source::packet packet = source_.next(state_.config());
    ++packets_this_link_;
    ++(packet.lost ? packets_lost_ : packets_sent_);
    if (config_.pace == pacing::realtime) {
      schedule_next_packet();
      // With the default timing a host far behind gets no burst: the headset
      // pauses instead.
      if (!config_.realistic_timing() && next_packet_ + std::chrono::seconds(1) < now) {
        sample_clock_.shift(now - next_packet_);
        next_packet_ = now;
      }
    } else {
      next_packet_ = now + fast_period_;
    }
    if (!packet.lost) out.notifications.push_back({role::stream_data, std::move(packet.payload)});
    if (config_.drop_after > 0 && packets_this_link_ >= config_.drop_after) {
      disconnect();
      outages_.lost(now);
      out.link_lost = true;
      return out;
    }
  }
  if (connected_ && drop <= now && out.notifications.size() < limit) {
    disconnect();
    outages_.lost(drop);
    out.link_lost = true;
  }
  return out;
}

model_stats headset_model::stats() const {
  model_stats out;
  out.connected = connected_;
  out.streaming = stream_active();
  out.starts = starts_;
  out.packets_sent = packets_sent_;
  out.packets_lost = packets_lost_;
  out.ota_image_bytes = state_.ota_image_bytes();
  out.ota_completed = state_.ota_completed();
  return out;
}

}  // namespace calyra::simulator
