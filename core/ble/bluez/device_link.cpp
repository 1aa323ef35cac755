#include "ble/bluez/device_link.h"

#include <utility>

namespace calyra::core::ble::bluez {

device_link::device_link(const std::string& path)
    : owners("BlueZ peripheral " + path, owner_table::delivery::queued) {}

device_link::~device_link() { owners.dispatcher().stop(); }

bool device_link::begin_connect(owner_token owner) {
  std::unique_lock lock(mutex_);
  settled_.wait(lock, [&] { return !connecting_ && !closing_; });
  if (up_) {
    // Held under the mutex a close is decided under: a close that follows
    // sees this holder.
    owners.hold(owner);
    return false;
  }
  connecting_ = true;
  return true;
}

void device_link::connect_failed() {
  std::lock_guard lock(mutex_);
  connecting_ = false;
  settled_.notify_all();
}

void device_link::connect_done(owner_token owner, std::uint16_t mtu, bool brought_up) {
  std::lock_guard lock(mutex_);
  connecting_ = false;
  up_ = true;
  mtu_ = mtu;
  brought_up_ = brought_up;
  owners.hold(owner);
  // What the last link left queued belongs to a link that is gone.
  owners.link_opened();
  settled_.notify_all();
}

bool device_link::begin_close() {
  std::lock_guard lock(mutex_);
  // A connect that joined meanwhile keeps the link; only one close runs.
  if (owners.holder_count() != 0 || !up_ || closing_) return false;
  closing_ = true;
  return true;
}

bool device_link::brought_up() {
  std::lock_guard lock(mutex_);
  return brought_up_;
}

void device_link::close_done() {
  std::lock_guard lock(mutex_);
  up_ = false;
  closing_ = false;
  settled_.notify_all();
}

bool device_link::up() {
  std::lock_guard lock(mutex_);
  return up_;
}

std::uint16_t device_link::mtu() {
  std::lock_guard lock(mutex_);
  return mtu_;
}

bool device_link::in_use() {
  std::lock_guard lock(mutex_);
  return up_ || connecting_ || closing_;
}

void device_link::remember(const std::optional<std::string>& name, const std::string& address) {
  std::lock_guard lock(mutex_);
  if (name) name_ = *name;
  if (!address.empty()) address_ = address;
}

std::string device_link::name() {
  std::lock_guard lock(mutex_);
  return name_;
}

std::string device_link::address() {
  std::lock_guard lock(mutex_);
  return address_;
}

bool device_link::lose_if_up() {
  std::lock_guard lock(mutex_);
  if (!up_ || closing_) return false;
  up_ = false;
  // The socket closes with the link; its dispatcher reads it to the end.
  for (auto& [key, sub] : subscriptions_) sub.acquired = false;
  // Queues every holder's hook; notifications received before the loss are
  // still delivered (the data did arrive).
  owners.call_hooks(owners.lose_link());
  return true;
}

bool device_link::daemon_gone() {
  const bool lost = lose_if_up();
  std::lock_guard lock(mutex_);
  up_ = false;
  // The sessions died with the daemon.
  for (auto& [key, sub] : subscriptions_) {
    sub.session = false;
    sub.acquired = false;
  }
  return lost;
}

void device_link::route(const std::string& key, const std::string& path) {
  std::lock_guard lock(mutex_);
  subscriptions_[key].path = path;
}

device_link::subscription device_link::subscription_of(const std::string& key) {
  std::lock_guard lock(mutex_);
  const auto it = subscriptions_.find(key);
  return it == subscriptions_.end() ? subscription{} : it->second;
}

void device_link::session_started(const std::string& key) {
  std::lock_guard lock(mutex_);
  subscriptions_[key].session = true;
}

std::uint64_t device_link::socket_acquired(const std::string& key) {
  std::lock_guard lock(mutex_);
  subscription& sub = subscriptions_[key];
  sub.acquired = true;
  return ++sub.acquisition;
}

bool device_link::socket_closed(const std::string& key, std::uint64_t acquisition, bool& link_up) {
  std::lock_guard lock(mutex_);
  subscription& sub = subscriptions_[key];
  if (sub.acquisition != acquisition || !sub.acquired) return false;
  sub.acquired = false;
  link_up = up_;
  return true;
}

std::vector<std::string> device_link::unused_sessions() {
  std::vector<std::string> out;
  std::lock_guard lock(mutex_);
  for (const auto& [key, sub] : subscriptions_)
    if ((sub.session || sub.acquired) && !owners.has_subscribers(key)) out.push_back(key);
  return out;
}

std::string device_link::end_unused_session(const std::string& key, bool& socket) {
  socket = false;
  std::lock_guard lock(mutex_);
  subscription& sub = subscriptions_[key];
  if (owners.has_subscribers(key) || !(sub.session || sub.acquired)) return {};
  if (sub.acquired) {
    // Closing the socket ends the acquisition in BlueZ.
    sub.acquired = false;
    ++sub.acquisition;
    socket = true;
    return {};
  }
  sub.session = false;
  return sub.path;
}

std::vector<std::string> device_link::end_all_sessions(bool& socket) {
  socket = false;
  std::vector<std::string> sessions;
  std::lock_guard lock(mutex_);
  for (auto& [key, sub] : subscriptions_) {
    if (sub.session) sessions.push_back(sub.path);
    sub.session = false;
    socket = socket || sub.acquired;
    if (sub.acquired) ++sub.acquisition;
    sub.acquired = false;
  }
  return sessions;
}

void device_link::value_changed(const std::string& path, const std::string& value, std::int64_t arrival_ns) {
  std::lock_guard lock(mutex_);
  if (!up_) return;
  for (const auto& [key, sub] : subscriptions_) {
    if (sub.path != path) continue;
    if (!sub.acquired) owners.deliver(key, value, arrival_ns);
    return;
  }
}

}  // namespace calyra::core::ble::bluez
