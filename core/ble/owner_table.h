// Who holds one peripheral's link, its subscriptions and its link-loss
// hooks, and the calls of their callbacks: the owner rules every backend
// keeps (see ble/backend.h), written once.
//
// - Any number of owners hold the link; the backend closes it when the last
//   one lets go (holder_count() is the truth it decides from).
// - Subscriptions are per (owner, characteristic key): each subscriber gets
//   every notification of its key; one owner's unsubscribe leaves the
//   others'.
// - When the link drops on its own, every holder's hook is called once, the
//   holders are forgotten and the subscriptions end.
// - Removing or replacing a callback (unsubscribe, a second subscribe of the
//   same owner and key, set_hook, release, end_subscriptions) waits until a
//   running call of it has returned, except on the thread running it (a
//   callback removing itself), so nothing of it runs afterwards.
//
// Callbacks run through the table's dispatcher, in one of two ways:
// - queued: deliver() and call_hooks() queue the calls for the dispatcher's
//   thread and never wait (for a bus event loop). Notifications that were
//   queued before a link loss are still delivered, unless their owner
//   unsubscribes or lets go first, or the next link opens.
// - on_caller: deliver() (or claim() and run()) and call_hooks() call the
//   callbacks on the calling thread before they return (a backend that has
//   a radio thread of its own); the sender then goes no faster than its
//   subscribers take data.
//
// Threads and locks: every function may be called from any thread. The
// table's mutex is never held while a callback runs or while waiting for
// one, so a backend may call the table with a lock of its own held, except
// the functions that wait (subscribe, unsubscribe, set_hook, release,
// end_subscriptions, retire, and deliver and call_hooks on_caller), which
// must be called without any lock a callback may take.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ble/backend.h"
#include "ble/callback_dispatcher.h"

namespace calyra::core::ble {

class owner_table {
 public:
  enum class delivery { queued, on_caller };
  using handler_ptr = std::shared_ptr<callback_dispatcher::handler>;

  // `device_name` names the device in log lines about failing callbacks.
  owner_table(std::string device_name, delivery mode);
  // Stops the dispatcher first: its thread reads the table.
  ~owner_table();
  owner_table(const owner_table&) = delete;
  owner_table& operator=(const owner_table&) = delete;

  // Records `owner` as a holder of the link (again: no change).
  void hold(owner_token owner);
  std::size_t holder_count() const;
  // Ends owner's subscriptions and hook and its hold. Returns whether it held
  // the link.
  bool release(owner_token owner);

  // Installs owner's callback for `key`, replacing its earlier one. Returns
  // the new subscription, for is_current() and drop().
  handler_ptr subscribe(owner_token owner, const std::string& key, NotifyCallback callback);
  // Whether `subscription` is still owner's subscription to `key`.
  bool is_current(owner_token owner, const std::string& key, const handler_ptr& subscription) const;
  // Removes `subscription` if it is still installed, without waiting (it has
  // never been called: a subscription that could not be set up).
  void drop(owner_token owner, const std::string& key, const handler_ptr& subscription);
  void unsubscribe(owner_token owner, const std::string& key);
  bool has_subscribers(const std::string& key) const;
  // The callbacks a notification of `key` goes to, including those of
  // subscriptions a link loss ended (see above).
  std::vector<handler_ptr> subscribers(const std::string& key) const;
  // Ends every subscription (a link that closed on request).
  void end_subscriptions();

  // Two steps for a backend that changes its own state together with the
  // table under a lock of its own (what the device sends follows the
  // subscribers): the take_ functions remove without waiting, and retire()
  // then waits for running calls of what they removed, without that lock.
  // unsubscribe(), release() and end_subscriptions() are the two in one.
  [[nodiscard]] std::vector<handler_ptr> take_subscription(owner_token owner, const std::string& key);
  [[nodiscard]] std::vector<handler_ptr> take_owner(owner_token owner, bool& held);
  [[nodiscard]] std::vector<handler_ptr> take_subscriptions();
  void retire(const std::vector<handler_ptr>& handlers);

  // Replaces owner's link-loss hook; an empty function removes it.
  void set_hook(owner_token owner, DisconnectCallback hook);

  // A notification of `key` for every subscriber of it.
  void deliver(const std::string& key, const std::string& payload, std::int64_t arrival_ns);
  // on_caller, in two steps: claim() when the device sends the notification
  // (under the backend's lock), so that an unsubscribe from then on waits
  // for its delivery; run() with that lock released. deliver() does both.
  struct claimed {
    std::vector<handler_ptr> targets;
    std::string payload;
    std::int64_t arrival_ns = 0;
  };
  [[nodiscard]] claimed claim(const std::string& key, std::string payload, std::int64_t arrival_ns);
  void run(const claimed& notification);
  // The link dropped on its own: forgets the holders and ends the
  // subscriptions, without waiting. Returns the hooks of the holders, which
  // call_hooks() calls once each (queued, or here on_caller; a hook removed
  // meanwhile is skipped). Hooks stay for the next link.
  [[nodiscard]] std::vector<handler_ptr> lose_link();
  void call_hooks(const std::vector<handler_ptr>& hooks);
  // A new link is up: what the last one left queued is dropped.
  void link_opened();
  // Forgets every owner without waiting (the device is going away).
  void clear();

  callback_dispatcher& dispatcher() { return dispatcher_; }

 private:
  using owner_map = std::map<owner_token, handler_ptr>;

  const delivery mode_;
  callback_dispatcher dispatcher_;
  mutable std::mutex mutex_;
  std::set<owner_token> holders_;
  std::map<std::string, owner_map> subscriptions_;
  std::map<owner_token, handler_ptr> hooks_;
  // Subscriptions a link loss ended whose notifications may still be queued.
  std::map<std::string, owner_map> ended_;
};

}  // namespace calyra::core::ble
