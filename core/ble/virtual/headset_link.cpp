#include "ble/virtual/headset_link.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "ble/ble_error.h"
#include "runtime/logger.h"

namespace calyra::core::ble::virtual_ble {
namespace {

using subscription_set = std::array<std::vector<std::shared_ptr<NotifyCallback>>, gatt::role_count>;

std::size_t slot_of(gatt::role role) { return static_cast<std::size_t>(role); }

void log_handler_failure(const std::string& device, const char* what) {
  logger::log(log_level::WARNING, [&](std::ostream& out) {
    out << "Virtual headset " << device << ": a callback threw: " << what;
  });
}

template <class Entries>
auto take_owner(Entries& entries, owner_token owner) {
  typename Entries::value_type taken{};
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->owner == owner) {
      taken = std::move(*it);
      entries.erase(it);
      break;
    }
  }
  return taken;
}

}  // namespace

headset_link::headset_link(device_config config)
    : config_(std::move(config)),
      shape_(shape_for_model(config_.model)),
      state_(config_, shape_),
      source_(config_, shape_) {}

headset_link::~headset_link() = default;

void headset_link::connect(owner_token owner) {
  std::lock_guard lock(mutex_);
  if (stopping_) throw operation_failed_error(config_.name + ": the device is gone");
  if (std::find(holders_.begin(), holders_.end(), owner) == holders_.end()) holders_.push_back(owner);
  if (connected_) return;
  connected_ = true;
  packets_this_link_ = 0;
  ensure_worker();
}

void headset_link::disconnect(owner_token owner) {
  std::vector<std::shared_ptr<NotifyCallback>> removed;  // destroyed after the lock is released
  std::shared_ptr<DisconnectCallback> removed_hook;
  std::unique_lock lock(mutex_);
  for (auto& role_subscriptions : subscriptions_) {
    if (auto entry = take_owner(role_subscriptions, owner); entry.callback) removed.push_back(std::move(entry.callback));
  }
  removed_hook = take_owner(disconnect_hooks_, owner).callback;
  wait_until_not_running(lock, owner, any_slot);
  const auto held = std::find(holders_.begin(), holders_.end(), owner);
  if (held == holders_.end()) return;
  holders_.erase(held);
  // Another owner still uses the link: only this owner's part ends.
  if (holders_.empty() && connected_) close_link(lock);
}

void headset_link::close_link(std::unique_lock<std::mutex>& lock) {
  connected_ = false;
  state_.on_link_lost();
  pending_.clear();
  drop_requested_ = false;
  wake_.notify_all();
  // Subscriptions of owners that never let go end with the link.
  subscription_set removed;
  for (std::size_t slot = 0; slot < subscriptions_.size(); ++slot) {
    for (auto& entry : subscriptions_[slot]) removed[slot].push_back(std::move(entry.callback));
    subscriptions_[slot].clear();
  }
  idle_.wait(lock, [&] {
    return on_worker_thread() || running_slot_ == no_slot || running_slot_ == disconnect_slot;
  });
  lock.unlock();
  removed = {};
  lock.lock();
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

std::shared_ptr<NotifyCallback> headset_link::subscription_of(gatt::role role,
                                                              owner_token owner) const {
  for (const subscription& entry : subscriptions_[slot_of(role)])
    if (entry.owner == owner) return entry.callback;
  return nullptr;
}

bool headset_link::has_subscribers(gatt::role role) const {
  return !subscriptions_[slot_of(role)].empty();
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

void headset_link::subscribe(owner_token owner, gatt::role role, NotifyCallback callback) {
  auto replacement = std::make_shared<NotifyCallback>(std::move(callback));
  std::shared_ptr<NotifyCallback> replaced;
  std::unique_lock lock(mutex_);
  check_access(role, "subscribe");
  if (!headset_state::can_notify(role))
    throw operation_failed_error(config_.name + ": " + gatt::role_name(role) +
                                 " does not notify");
  // A concurrent subscribe of the same owner may install its handler while
  // this one waits: each replacement waits for the handler it removes.
  const int slot = static_cast<int>(slot_of(role));
  while ((replaced = take_owner(subscriptions_[slot_of(role)], owner).callback)) {
    wait_until_not_running(lock, owner, slot);
    lock.unlock();
    replaced.reset();
    lock.lock();
  }
  if (!connected_) throw not_connected_error(config_.name + " is not connected");
  const bool first_stream_subscriber = role == gatt::role::stream_data && !has_subscribers(role);
  subscriptions_[slot_of(role)].push_back({owner, std::move(replacement)});
  if (first_stream_subscriber) schedule_first_packet();
  wake_.notify_all();
}

void headset_link::unsubscribe(owner_token owner, gatt::role role) {
  std::shared_ptr<NotifyCallback> removed;
  std::unique_lock lock(mutex_);
  removed = take_owner(subscriptions_[slot_of(role)], owner).callback;
  wait_until_not_running(lock, owner, static_cast<int>(slot_of(role)));
  lock.unlock();
}

void headset_link::set_disconnect_hook(owner_token owner, DisconnectCallback hook) {
  std::shared_ptr<DisconnectCallback> replaced;
  std::unique_lock lock(mutex_);
  replaced = take_owner(disconnect_hooks_, owner).callback;
  wait_until_not_running(lock, owner, disconnect_slot);
  if (hook) disconnect_hooks_.push_back({owner, std::make_shared<DisconnectCallback>(std::move(hook))});
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
  if (connected_ && has_subscribers(gatt::role::battery_status)) {
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
  std::array<std::vector<subscription>, gatt::role_count> removed;
  std::vector<hook_entry> hooks;
  std::thread worker;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    connected_ = false;
    holders_.clear();
    removed = std::exchange(subscriptions_, {});
    hooks = std::exchange(disconnect_hooks_, {});
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
  return connected_ && state_.stream_requested() && has_subscribers(gatt::role::stream_data) &&
         source_.can_send(state_.config());
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
  // The simulated radio delivers it now.
  const std::int64_t arrival_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      clock::now().time_since_epoch())
                                      .count();
  // Every subscriber in turn; one that unsubscribed meanwhile is skipped.
  std::vector<owner_token> owners;
  for (const subscription& entry : subscriptions_[slot_of(role)]) owners.push_back(entry.owner);
  for (const owner_token owner : owners) {
    const std::shared_ptr<NotifyCallback> callback = subscription_of(role, owner);
    if (!callback || !connected_) continue;
    run_unlocked(lock, static_cast<int>(slot_of(role)), owner,
                 [&] { (*callback)(payload, arrival_ns); });
  }
}

void headset_link::lose_link(std::unique_lock<std::mutex>& lock) {
  connected_ = false;
  state_.on_link_lost();
  const std::vector<owner_token> holders = std::exchange(holders_, {});
  std::array<std::vector<subscription>, gatt::role_count> removed = std::exchange(subscriptions_, {});
  pending_.clear();
  lock.unlock();
  removed = {};
  lock.lock();
  // Every holder of the link hears of the loss once; a hook removed meanwhile
  // is skipped. An owner that let go of the link earlier is not told again.
  for (const owner_token owner : holders) {
    std::shared_ptr<DisconnectCallback> hook;
    for (const hook_entry& entry : disconnect_hooks_)
      if (entry.owner == owner) hook = entry.callback;
    if (!hook) continue;
    run_unlocked(lock, disconnect_slot, owner, [&] {
      (*hook)();
      hook.reset();
    });
  }
}

template <class Call>
void headset_link::run_unlocked(std::unique_lock<std::mutex>& lock, int slot, owner_token owner,
                                Call&& call) {
  running_slot_ = slot;
  running_owner_ = owner;
  lock.unlock();
  try {
    call();
  } catch (const std::exception& e) {
    log_handler_failure(config_.name, e.what());
  } catch (...) {
    log_handler_failure(config_.name, "unknown exception");
  }
  lock.lock();
  running_slot_ = no_slot;
  running_owner_ = 0;
  idle_.notify_all();
}

void headset_link::wait_until_not_running(std::unique_lock<std::mutex>& lock, owner_token owner,
                                          int slot) {
  if (on_worker_thread()) return;
  idle_.wait(lock, [&] {
    return running_owner_ != owner || (slot != any_slot && running_slot_ != slot);
  });
}

}  // namespace calyra::core::ble::virtual_ble
