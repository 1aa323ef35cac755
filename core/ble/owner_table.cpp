#include "ble/owner_table.h"

#include <utility>

namespace calyra::core::ble {
namespace {

using handler_ptr = owner_table::handler_ptr;

handler_ptr take(std::map<owner_token, handler_ptr>& owners, owner_token owner) {
  const auto it = owners.find(owner);
  if (it == owners.end()) return nullptr;
  handler_ptr taken = std::move(it->second);
  owners.erase(it);
  return taken;
}

}  // namespace

owner_table::owner_table(std::string device_name, delivery mode)
    : mode_(mode), dispatcher_(std::move(device_name)) {}

owner_table::~owner_table() { dispatcher_.stop(); }

void owner_table::hold(owner_token owner) {
  std::lock_guard lock(mutex_);
  holders_.insert(owner);
}

std::size_t owner_table::holder_count() const {
  std::lock_guard lock(mutex_);
  return holders_.size();
}

bool owner_table::release(owner_token owner) {
  bool held = false;
  retire(take_owner(owner, held));
  return held;
}

std::vector<handler_ptr> owner_table::take_owner(owner_token owner, bool& held) {
  std::vector<handler_ptr> removed;
  std::lock_guard lock(mutex_);
  held = holders_.erase(owner) != 0;
  for (auto* table : {&subscriptions_, &ended_})
    for (auto& [key, owners] : *table)
      if (handler_ptr h = take(owners, owner)) removed.push_back(std::move(h));
  if (handler_ptr h = take(hooks_, owner)) removed.push_back(std::move(h));
  for (const handler_ptr& h : removed) dispatcher_.deactivate(h);
  return removed;
}

handler_ptr owner_table::subscribe(owner_token owner, const std::string& key, NotifyCallback callback) {
  auto fresh = std::make_shared<callback_dispatcher::handler>();
  fresh->on_value = std::move(callback);
  handler_ptr replaced;
  {
    std::lock_guard lock(mutex_);
    replaced = std::exchange(subscriptions_[key][owner], fresh);
  }
  if (replaced) retire({replaced});
  return fresh;
}

bool owner_table::is_current(owner_token owner, const std::string& key,
                             const handler_ptr& subscription) const {
  std::lock_guard lock(mutex_);
  const auto sub = subscriptions_.find(key);
  if (sub == subscriptions_.end()) return false;
  const auto it = sub->second.find(owner);
  return it != sub->second.end() && it->second == subscription;
}

void owner_table::drop(owner_token owner, const std::string& key, const handler_ptr& subscription) {
  std::lock_guard lock(mutex_);
  dispatcher_.deactivate(subscription);
  const auto sub = subscriptions_.find(key);
  if (sub == subscriptions_.end()) return;
  const auto it = sub->second.find(owner);
  if (it != sub->second.end() && it->second == subscription) sub->second.erase(it);
}

void owner_table::unsubscribe(owner_token owner, const std::string& key) {
  retire(take_subscription(owner, key));
}

std::vector<handler_ptr> owner_table::take_subscription(owner_token owner, const std::string& key) {
  std::vector<handler_ptr> removed;
  std::lock_guard lock(mutex_);
  for (auto* table : {&subscriptions_, &ended_})
    if (const auto it = table->find(key); it != table->end())
      if (handler_ptr h = take(it->second, owner)) removed.push_back(std::move(h));
  for (const handler_ptr& h : removed) dispatcher_.deactivate(h);
  return removed;
}

bool owner_table::has_subscribers(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const auto it = subscriptions_.find(key);
  return it != subscriptions_.end() && !it->second.empty();
}

std::vector<handler_ptr> owner_table::subscribers(const std::string& key) const {
  std::vector<handler_ptr> out;
  std::lock_guard lock(mutex_);
  for (const auto* table : {&subscriptions_, &ended_})
    if (const auto it = table->find(key); it != table->end())
      for (const auto& [owner, handler] : it->second) out.push_back(handler);
  return out;
}

void owner_table::end_subscriptions() { retire(take_subscriptions()); }

std::vector<handler_ptr> owner_table::take_subscriptions() {
  std::vector<handler_ptr> removed;
  std::lock_guard lock(mutex_);
  for (auto& [key, owners] : subscriptions_) {
    for (auto& [owner, handler] : std::exchange(owners, {})) {
      dispatcher_.deactivate(handler);
      removed.push_back(std::move(handler));
    }
  }
  return removed;
}

void owner_table::set_hook(owner_token owner, DisconnectCallback hook) {
  handler_ptr replaced;
  {
    std::lock_guard lock(mutex_);
    if (hook) {
      auto fresh = std::make_shared<callback_dispatcher::handler>();
      fresh->on_event = std::move(hook);
      replaced = std::exchange(hooks_[owner], std::move(fresh));
    } else {
      replaced = take(hooks_, owner);
    }
  }
  if (replaced) retire({replaced});
}

void owner_table::deliver(const std::string& key, const std::string& payload, std::int64_t arrival_ns) {
  if (mode_ == delivery::on_caller) {
    run(claim(key, payload, arrival_ns));
    return;
  }
  std::lock_guard lock(mutex_);
  if (const auto sub = subscriptions_.find(key); sub != subscriptions_.end())
    for (const auto& [owner, handler] : sub->second) dispatcher_.post(handler, payload, arrival_ns);
}

owner_table::claimed owner_table::claim(const std::string& key, std::string payload, std::int64_t arrival_ns) {
  claimed out{{}, std::move(payload), arrival_ns};
  std::lock_guard lock(mutex_);
  if (const auto sub = subscriptions_.find(key); sub != subscriptions_.end())
    for (const auto& [owner, handler] : sub->second) out.targets.push_back(handler);
  dispatcher_.claim(out.targets);
  return out;
}

void owner_table::run(const claimed& notification) {
  // Every subscriber in turn; one that unsubscribed meanwhile (from inside an
  // earlier callback) is skipped.
  dispatcher_.run_claimed(notification.targets, notification.payload, notification.arrival_ns);
}

std::vector<handler_ptr> owner_table::lose_link() {
  std::vector<handler_ptr> hooks;
  std::vector<handler_ptr> ended;  // destroyed with mutex_ released
  std::lock_guard lock(mutex_);
  // Every holder hears of the loss once; an owner that let go earlier is not
  // told.
  for (const owner_token owner : std::exchange(holders_, {}))
    if (const auto hook = hooks_.find(owner); hook != hooks_.end()) hooks.push_back(hook->second);
  for (auto& [key, owners] : subscriptions_) {
    for (auto& [owner, handler] : std::exchange(owners, {})) {
      if (mode_ == delivery::queued) {
        // Its notifications received before the loss may still be queued.
        ended_[key][owner] = std::move(handler);
      } else {
        // Nothing is queued: the subscription is simply over.
        dispatcher_.deactivate(handler);
        ended.push_back(std::move(handler));
      }
    }
  }
  return hooks;
}

void owner_table::call_hooks(const std::vector<handler_ptr>& hooks) {
  for (const handler_ptr& hook : hooks) {
    if (mode_ == delivery::queued)
      dispatcher_.post_event(hook);
    else
      dispatcher_.run_event_here(hook);
  }
}

void owner_table::link_opened() {
  std::map<std::string, owner_map> ended;  // destroyed with mutex_ released
  std::lock_guard lock(mutex_);
  ended = std::exchange(ended_, {});
  for (auto& [key, owners] : ended)
    for (auto& [owner, handler] : owners) dispatcher_.deactivate(handler);
}

void owner_table::clear() {
  std::map<std::string, owner_map> subscriptions, ended;  // destroyed with mutex_ released
  owner_map hooks;
  std::lock_guard lock(mutex_);
  holders_.clear();
  subscriptions = std::exchange(subscriptions_, {});
  ended = std::exchange(ended_, {});
  hooks = std::exchange(hooks_, {});
  for (const auto* table : {&subscriptions, &ended})
    for (const auto& [key, owners] : *table)
      for (const auto& [owner, handler] : owners) dispatcher_.deactivate(handler);
  for (const auto& [owner, handler] : hooks) dispatcher_.deactivate(handler);
}

void owner_table::retire(const std::vector<handler_ptr>& handlers) {
  for (const handler_ptr& h : handlers) dispatcher_.retire(h);
}

}  // namespace calyra::core::ble
