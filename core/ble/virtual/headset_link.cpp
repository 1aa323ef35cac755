#include "ble/virtual/headset_link.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "ble/ble_error.h"
#include "simulator/gatt_error.h"
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

// With pace=fast the in-process headset sends as fast as its subscribers
// take the packets.
headset_link::headset_link(const device_config& config) : model_(config, clock::duration::zero()) {}

headset_link::~headset_link() = default;

void headset_link::connect(owner_token owner) {
  std::lock_guard lock(mutex_);
  if (stopping_) throw operation_failed_error(config().name + ": the device is gone");
  if (std::find(holders_.begin(), holders_.end(), owner) == holders_.end()) holders_.push_back(owner);
  if (connected_) return;
  connected_ = true;
  model_.connect(clock::now());
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
  model_.disconnect();
  drop_requested_ = false;
  wake_.notify_all();
  // Subscriptions of owners that never let go end with the link.
  subscription_set removed;
  for (std::size_t slot = 0; slot < subscriptions_.size(); ++slot) {
    for (auto& entry : subscriptions_[slot]) removed[slot].push_back(std::move(entry.callback));
    subscriptions_[slot].clear();
    update_notifying(static_cast<gatt::role>(slot));
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

ByteArray headset_link::checked(gatt::role role, const char* operation,
                                const std::function<ByteArray()>& call) {
  try {
    return call();
  } catch (const simulator::gatt_error& e) {
    if (e.reason == simulator::gatt_error::kind::not_connected)
      throw not_connected_error(config().name + " is not connected");
    if (e.reason == simulator::gatt_error::kind::failing_role)
      throw operation_failed_error(config().name + ": " + operation + " of " +
                                   gatt::role_name(role) + " failed");
    throw operation_failed_error(e.what());
  }
}

void headset_link::update_notifying(gatt::role role) {
  model_.set_notifying(role, has_subscribers(role), clock::now());
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
  return checked(role, "read", [&] { return model_.read(role); });
}

void headset_link::write(gatt::role role, const ByteArray& value) {
  std::lock_guard lock(mutex_);
  checked(role, "write", [&] {
    model_.write(role, value, clock::now());
    return ByteArray();
  });
  wake_.notify_all();
}

void headset_link::subscribe(owner_token owner, gatt::role role, NotifyCallback callback) {
  auto replacement = std::make_shared<NotifyCallback>(std::move(callback));
  std::shared_ptr<NotifyCallback> replaced;
  std::unique_lock lock(mutex_);
  if (!connected_) throw not_connected_error(config().name + " is not connected");
  for (gatt::role failing : config().failing_roles)
    if (failing == role)
      throw operation_failed_error(config().name + ": subscribe of " + gatt::role_name(role) + " failed");
  if (!simulator::headset_model::can_notify(role))
    throw operation_failed_error(config().name + ": " + gatt::role_name(role) +
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
  if (!connected_) throw not_connected_error(config().name + " is not connected");
  subscriptions_[slot_of(role)].push_back({owner, std::move(replacement)});
  update_notifying(role);
  wake_.notify_all();
}

void headset_link::unsubscribe(owner_token owner, gatt::role role) {
  std::shared_ptr<NotifyCallback> removed;
  std::unique_lock lock(mutex_);
  removed = take_owner(subscriptions_[slot_of(role)], owner).callback;
  update_notifying(role);
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
  model_.set_battery(level, charging);
  wake_.notify_all();
}

bool headset_link::trigger(clock::time_point at) {
  std::lock_guard lock(mutex_);
  return model_.trigger(at);
}

link_stats headset_link::stats() {
  std::lock_guard lock(mutex_);
  const simulator::model_stats s = model_.stats();
  link_stats out;
  out.connected = connected_;
  out.streaming = s.streaming;
  out.packets_sent = s.packets_sent;
  out.packets_lost = s.packets_lost;
  out.ota_image_bytes = s.ota_image_bytes;
  out.ota_completed = s.ota_completed;
  return out;
}

std::string headset_link::last_config() {
  std::lock_guard lock(mutex_);
  return model_.last_config();
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

void headset_link::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (drop_requested_) {
      drop_requested_ = false;
      if (connected_) lose_link(lock);
      continue;
    }
    const std::optional<clock::time_point> due = model_.next_due_time();
    if (!due) {
      wake_.wait(lock);
      continue;
    }
    if (*due > clock::now()) {
      wake_.wait_until(lock, *due);
      continue;
    }
    // One at a time: a host thread waiting for the lock (stop, unsubscribe)
    // gets in between, even at pace=fast.
    simulator::headset_model::output out = model_.due_notifications(clock::now(), 1);
    for (const simulator::notification& n : out.notifications) deliver(lock, n.role, n.payload);
    if (out.link_lost) drop_requested_ = true;
    lock.unlock();
    std::this_thread::yield();
    lock.lock();
  }
}

void headset_link::deliver(std::unique_lock<std::mutex>& lock, gatt::role role,
                           const std::string& payload) {
  // The model hands a notification over once its simulated arrival (the
  // connection event plus its delay) has come: now is that moment, or the
  // later one when this thread runs late.
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
  model_.disconnect();
  const std::vector<owner_token> holders = std::exchange(holders_, {});
  std::array<std::vector<subscription>, gatt::role_count> removed = std::exchange(subscriptions_, {});
  for (std::size_t slot = 0; slot < removed.size(); ++slot)
    update_notifying(static_cast<gatt::role>(slot));
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
    log_handler_failure(config().name, e.what());
  } catch (...) {
    log_handler_failure(config().name, "unknown exception");
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
