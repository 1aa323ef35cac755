#include "fake_headset.h"

#include <utility>

#include "ble/ble_error.h"

namespace calyra::fake_bluez {

using core::gatt::role;

fake_headset::fake_headset(vb::device_config config)
    : config_(std::move(config)),
      shape_(vb::shape_for_model(config_.model)),
      state_(config_, shape_),
      source_(config_, shape_) {}

void fake_headset::connect(clock::time_point now) {
  if (connected_) return;
  connected_ = true;
  packets_this_link_ = 0;
  if (notifying(role::stream_data)) schedule_first_packet(now);
}

void fake_headset::disconnect() {
  if (!connected_) return;
  connected_ = false;
  state_.on_link_lost();
}

void fake_headset::check_access(role r) const {
  // What BlueZ 5.66 answers for a read or write without a link.
  if (!connected_) throw gatt_failure{"org.bluez.Error.Failed", "Not connected"};
  for (role failing : config_.failing_roles)
    if (failing == r)
      throw gatt_failure{"org.bluez.Error.Failed", "Operation failed with ATT error: 0x0e"};
}

std::string fake_headset::read(role r) const {
  check_access(r);
  try {
    return state_.read(r);
  } catch (const core::ble::operation_failed_error& e) {
    throw gatt_failure{"org.bluez.Error.NotPermitted", std::string("Read not permitted: ") + e.what()};
  }
}

std::vector<vb::notification> fake_headset::write(role r, const std::string& value,
                                                  clock::time_point now) {
  check_access(r);
  std::vector<vb::notification> answers;
  try {
    answers = state_.write(r, value);
  } catch (const core::ble::operation_failed_error& e) {
    throw gatt_failure{"org.bluez.Error.Failed",
                       std::string("Operation failed with ATT error: 0x13 (") + e.what() + ")"};
  }
  if (state_.take_stream_restart()) {
    ++starts_;
    source_.restart();
    schedule_first_packet(now);
  }
  return answers;
}

void fake_headset::set_notifying(role r, bool on, clock::time_point now) {
  if (on) {
    if (notifying_.insert(r).second && r == role::stream_data) schedule_first_packet(now);
  } else {
    notifying_.erase(r);
  }
}

bool fake_headset::stream_active() const {
  return connected_ && state_.stream_requested() && notifying(role::stream_data) &&
         source_.can_send(state_.config());
}

void fake_headset::schedule_first_packet(clock::time_point now) {
  next_packet_ = now + (config_.pace == vb::pacing::realtime
                            ? std::chrono::duration_cast<clock::duration>(source_.period(state_.config()))
                            : std::chrono::duration_cast<clock::duration>(fast_period));
}

std::optional<clock::time_point> fake_headset::next_packet_due() const {
  if (!stream_active()) return std::nullopt;
  return next_packet_;
}

fake_headset::sent fake_headset::send_packet(clock::time_point now) {
  sent out;
  vb::packet_source::packet packet = source_.next(state_.config());
  ++packets_this_link_;
  ++(packet.lost ? packets_lost_ : packets_sent_);
  if (config_.pace == vb::pacing::realtime) {
    next_packet_ += std::chrono::duration_cast<clock::duration>(source_.period(state_.config()));
    if (next_packet_ + std::chrono::seconds(1) < now) next_packet_ = now;
  } else {
    next_packet_ = now + fast_period;
  }
  if (config_.drop_after > 0 && packets_this_link_ >= config_.drop_after) out.drop_link = true;
  if (!packet.lost) out.payload = std::move(packet.payload);
  return out;
}

std::string fake_headset::set_battery(std::uint8_t level, bool charging) {
  return state_.set_battery(level, charging);
}

}  // namespace calyra::fake_bluez
