#include "ble/virtual/headset_link.h"

#include <exception>
#include <utility>

#include "ble/ble_error.h"
#include "runtime/logger.h"

namespace calyra::core::ble::virtual_ble {
namespace {

using subscription_set = std::array<std::shared_ptr<NotifyCallback>, gatt::role_count>;

std::size_t slot_of(gatt::role role) { return static_cast<std::size_t>(role); }

void log_handler_failure(const std::string& device, const char* what) {
  logger::log(log_level::WARNING, [&](std::ostream& out) {
    out << "Virtual headset " << device << ": a callback threw: " << what;
  });
}

}  // namespace

headset_link::headset_link(device_config config)
    : config_(std::move(config)),
      shape_(shape_for_model(config_.model)),
      state_(config_, shape_),
      source_(config_, shape_) {}

headset_link::~headset_link() = default;

void headset_link::connect() {
  std::lock_guard lock(mutex_);
  if (stopping_) throw operation_failed_error(config_.name + ": the device is gone");
  if (connected_) return;
  connected_ = true;
  packets_this_link_ = 0;
  ensure_worker();
}

void headset_link::disconnect() {
  subscription_set removed;  // destroyed after the lock is released
  std::unique_lock lock(mutex_);
  if (!connected_) return;
  connected_ = false;
  state_.on_link_lost();
  removed = std::exchange(subscriptions_, {});
  pending_.clear();
  drop_requested_ = false;
  wake_.notify_all();
  wait_until_no_notification_running(lock);
}

bool headset_link::is_connected() {
  std::lock_guard lock(mutex_);
  return connected_;
}

void headset_link::check_access(gatt::role role, const char* operation) const {
  if (!connected_) throw not_connected_error(config_.name + " is not connected");
  for (gatt::role failing : config_.failing_roles)
    if (failing == role)
      throw operation_failed_error(config_.name + ": " + operation + " of " +
                                   gatt::role_name(role) + " failed");
}

ByteArray headset_link::read(gatt::role role) {
  std::lock_guard lock(mutex_);
  check_access(role, "read");
  return state_.read(role);
}

void headset_link::write(gatt::role role, const ByteArray& value) {
  std::lock_guard lock(mutex_);
  check_access(role, "write");
  for (notification& n : state_.write(role, value)) pending_.push_back(std::move(n));
  if (state_.take_stream_restart()) {
    source_.restart();
    schedule_first_packet();
  }
  wake_.notify_all();
}

void headset_link::subscribe(gatt::role role, NotifyCallback callback) {
  std::shared_ptr<NotifyCallback> replaced;
  std::unique_lock lock(mutex_);
  check_access(role, "subscribe");
  if (!headset_state::can_notify(role))
    throw operation_failed_error(config_.name + ": " + gatt::role_name(role) +
                                 " does not notify");
  replaced = std::exchange(subscriptions_[slot_of(role)], nullptr);
  if (replaced) wait_until_not_running(lock, static_cast<int>(slot_of(role)));
  if (!connected_) throw not_connected_error(config_.name + " is not connected");
  subscriptions_[slot_of(role)] = std::make_shared<NotifyCallback>(std::move(callback));
  if (role == gatt::role::stream_data) schedule_first_packet();
  wake_.notify_all();
}

void headset_link::unsubscribe(gatt::role role) {
  std::shared_ptr<NotifyCallback> removed;
  std::unique_lock lock(mutex_);
  removed = std::exchange(subscriptions_[slot_of(role)], nullptr);
  wait_until_not_running(lock, static_cast<int>(slot_of(role)));
}

void headset_link::set_disconnect_hook(DisconnectCallback hook) {
  std::shared_ptr<DisconnectCallback> replaced;
  std::unique_lock lock(mutex_);
  replaced = std::exchange(disconnect_hook_, nullptr);
  wait_until_not_running(lock, disconnect_slot);
  if (hook) disconnect_hook_ = std::make_shared<DisconnectCallback>(std::move(hook));
}

bool headset_link::drop_link() {
  std::lock_guard lock(mutex_);
  if (!connected_) return false;
  drop_requested_ = true;
  wake_.notify_all();
  return true;
}

void headset_link::set_battery(std::uint8_t level, bool charging) {
  std::lock_guard lock(mutex_);
  std::string value = state_.set_battery(level, charging);
  if (connected_ && subscriptions_[slot_of(gatt::role::battery_status)]) {
    pending_.push_back({gatt::role::battery_status, std::move(value)});
    wake_.notify_all();
  }
}

link_stats headset_link::stats() {
  std::lock_guard lock(mutex_);
  link_stats out = counters_;
  out.connected = connected_;
  out.streaming = stream_active();
  out.ota_image_bytes = state_.ota_image_bytes();
  out.ota_completed = state_.ota_completed();
  return out;
}

std::string headset_link::last_config() {
  std::lock_guard lock(mutex_);
  return state_.last_config_bytes();
}

void headset_link::shutdown() {
  subscription_set removed;
  std::shared_ptr<DisconnectCallback> hook;
  std::thread worker;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    connected_ = false;
    removed = std::exchange(subscriptions_, {});
    hook = std::exchange(disconnect_hook_, nullptr);
    pending_.clear();
    worker = std::move(worker_);
    wake_.notify_all();
  }
  if (!worker.joinable()) return;
  // The last handle may be released inside a callback, on the worker itself;
  // the worker keeps this object alive and ends on its own.
  if (worker.get_id() == std::this_thread::get_id())
    worker.detach();
  else
    worker.join();
}

void headset_link::ensure_worker() {
  if (worker_.joinable() || stopping_) return;
  worker_ = std::thread([self = shared_from_this()] { self->run(); });
  worker_id_ = worker_.get_id();
}

bool headset_link::stream_active() const {
  return connected_ && state_.stream_requested() &&
         subscriptions_[slot_of(gatt::role::stream_data)] && source_.can_send(state_.config());
}

void headset_link::schedule_first_packet() {
  next_packet_ = clock::now();
  if (config_.pace == pacing::realtime) next_packet_ += source_.period(state_.config());
}

void headset_link::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (drop_requested_) {
      drop_requested_ = false;
      if (connected_) lose_link(lock);
      continue;
    }
    if (!pending_.empty()) {
      notification next = std::move(pending_.front());
      pending_.pop_front();
      deliver(lock, next.role, next.payload);
      continue;
    }
    if (stream_active()) {
      if (config_.pace == pacing::fast) {
        send_packet(lock);
        // Let host threads waiting for the lock (stop, unsubscribe) in.
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
      } else if (clock::now() >= next_packet_) {
        send_packet(lock);
      } else {
        wake_.wait_until(lock, next_packet_);
      }
      continue;
    }
    wake_.wait(lock);
  }
}

void headset_link::send_packet(std::unique_lock<std::mutex>& lock) {
  packet_source::packet packet = source_.next(state_.config());
  ++packets_this_link_;
  ++(packet.lost ? counters_.packets_lost : counters_.packets_sent);
  if (config_.pace == pacing::realtime) {
    next_packet_ += source_.period(state_.config());
    // A consumer that fell far behind does not get a burst to catch up.
    const clock::time_point now = clock::now();
    if (next_packet_ + std::chrono::seconds(1) < now) next_packet_ = now;
  }
  if (config_.drop_after > 0 && packets_this_link_ >= config_.drop_after) drop_requested_ = true;
  if (!packet.lost) deliver(lock, gatt::role::stream_data, packet.payload);
}

void headset_link::deliver(std::unique_lock<std::mutex>& lock, gatt::role role,
                           const std::string& payload) {
  const std::shared_ptr<NotifyCallback> callback = subscriptions_[slot_of(role)];
  if (!callback || !connected_) return;
  running_slot_ = static_cast<int>(slot_of(role));
  lock.unlock();
  try {
    (*callback)(payload);
  } catch (const std::exception& e) {
    log_handler_failure(config_.name, e.what());
  } catch (...) {
    log_handler_failure(config_.name, "unknown exception");
  }
  lock.lock();
  running_slot_ = no_slot;
  idle_.notify_all();
}

void headset_link::lose_link(std::unique_lock<std::mutex>& lock) {
  connected_ = false;
  state_.on_link_lost();
  subscription_set removed = std::exchange(subscriptions_, {});
  pending_.clear();
  const std::shared_ptr<DisconnectCallback> hook = disconnect_hook_;
  running_slot_ = disconnect_slot;
  lock.unlock();
  removed = {};
  if (hook) {
    try {
      (*hook)();
    } catch (const std::exception& e) {
      log_handler_failure(config_.name, e.what());
    } catch (...) {
      log_handler_failure(config_.name, "unknown exception");
    }
  }
  lock.lock();
  running_slot_ = no_slot;
  idle_.notify_all();
}

void headset_link::wait_until_not_running(std::unique_lock<std::mutex>& lock, int slot) {
  if (on_worker_thread()) return;
  idle_.wait(lock, [&] { return running_slot_ != slot; });
}

void headset_link::wait_until_no_notification_running(std::unique_lock<std::mutex>& lock) {
  if (on_worker_thread()) return;
  idle_.wait(lock, [&] { return running_slot_ == no_slot || running_slot_ == disconnect_slot; });
}

}  // namespace calyra::core::ble::virtual_ble
