#include "ble/virtual/headset_link.h"

#include <utility>

#include "ble/ble_error.h"
#include "simulator/gatt_error.h"

namespace calyra::core::ble::virtual_ble {
namespace {

std::string key_of(gatt::role role) { return gatt::role_name(role); }

}  // namespace

// With pace=fast the in-process headset sends as fast as its subscribers
// take the packets: the table calls them on the worker.
headset_link::headset_link(const device_config& config)
    : model_(config, clock::duration::zero()),
      owners_("Virtual headset " + config.name, owner_table::delivery::on_caller) {}

headset_link::~headset_link() = default;

void headset_link::connect(owner_token owner) {
  std::lock_guard lock(mutex_);
  if (stopping_) throw operation_failed_error(config().name + ": the device is gone");
  if (!connected_ && !model_.connect(clock::now()))
    throw operation_failed_error(config().name + ": the headset does not answer (out of reach)");
  owners_.hold(owner);
  if (connected_) return;
  connected_ = true;
  owners_.link_opened();
  ensure_worker();
}

void headset_link::disconnect(owner_token owner) {
  std::vector<owner_table::handler_ptr> removed;  // destroyed with the lock released
  std::unique_lock lock(mutex_);
  bool held = false;
  removed = owners_.take_owner(owner, held);
  update_notifying_locked();
  // Another owner still uses the link: only this owner's part ends.
  if (held && owners_.holder_count() == 0 && connected_) close_link(lock);
  lock.unlock();
  owners_.retire(removed);
}

void headset_link::close_link(std::unique_lock<std::mutex>& lock) {
  connected_ = false;
  model_.disconnect();
  drop_requested_ = false;
  wake_.notify_all();
  // Subscriptions of owners that never let go end with the link (taken now:
  // a connect may follow as soon as the lock is released).
  std::vector<owner_table::handler_ptr> removed = owners_.take_subscriptions();
  update_notifying_locked();
  lock.unlock();
  owners_.retire(removed);
  removed.clear();
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

void headset_link::update_notifying_locked() {
  for (std::size_t slot = 0; slot < gatt::role_count; ++slot) {
    const auto role = static_cast<gatt::role>(slot);
    if (simulator::headset_model::can_notify(role))
      model_.set_notifying(role, connected_ && owners_.has_subscribers(key_of(role)), clock::now());
  }
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
  {
    std::lock_guard lock(mutex_);
    if (!connected_) throw not_connected_error(config().name + " is not connected");
    for (gatt::role failing : config().failing_roles)
      if (failing == role)
        throw operation_failed_error(config().name + ": subscribe of " + gatt::role_name(role) + " failed");
    if (!simulator::headset_model::can_notify(role))
      throw operation_failed_error(config().name + ": " + gatt::role_name(role) + " does not notify");
  }
  const owner_table::handler_ptr fresh = owners_.subscribe(owner, key_of(role), std::move(callback));
  std::lock_guard lock(mutex_);
  // The link may have closed while the replaced handler was waited for.
  if (!connected_) {
    owners_.drop(owner, key_of(role), fresh);
    throw not_connected_error(config().name + " is not connected");
  }
  update_notifying_locked();
  wake_.notify_all();
}

void headset_link::unsubscribe(owner_token owner, gatt::role role) {
  std::vector<owner_table::handler_ptr> removed;  // destroyed with the lock released
  std::unique_lock lock(mutex_);
  // The headset stops sending with the last subscriber gone.
  removed = owners_.take_subscription(owner, key_of(role));
  update_notifying_locked();
  lock.unlock();
  owners_.retire(removed);
}

void headset_link::set_disconnect_hook(owner_token owner, DisconnectCallback hook) {
  owners_.set_hook(owner, std::move(hook));
}

bool headset_link::drop_link(std::optional<clock::duration> down) {
  std::lock_guard lock(mutex_);
  if (!connected_) return false;
  // Out of reach from this moment; the holders hear of it on the worker.
  const clock::duration away =
      down.value_or(std::chrono::round<clock::duration>(std::chrono::duration<double, std::milli>(config().down_ms)));
  model_.lose_link(clock::now(), away);
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

bool headset_link::seen_by_scan() {
  std::lock_guard lock(mutex_);
  return config().advertising && model_.reachable(clock::now());
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
  std::thread worker;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    connected_ = false;
    worker = std::move(worker_);
    wake_.notify_all();
  }
  owners_.clear();
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
    const clock::time_point now = clock::now();
    simulator::headset_model::output out = model_.due_notifications(now, 1);
    // A stream packet arrives when the simulated radio delivers it (its
    // connection event and delay), however late this thread gets to run:
    // a loaded host must not look like a slow radio to the stream clock, as
    // a receive time stamped where the packet lands would not. Answers to
    // writes (due at once) arrive now. It goes to whoever is subscribed now:
    // an unsubscribe from here on waits for the delivery.
    const clock::time_point delivered = *due == clock::time_point::min() ? now : *due;
    const std::int64_t arrival_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(delivered.time_since_epoch()).count();
    std::vector<owner_table::claimed> sent;
    for (simulator::notification& n : out.notifications)
      sent.push_back(owners_.claim(key_of(n.role), std::move(n.payload), arrival_ns));
    if (out.link_lost) drop_requested_ = true;
    lock.unlock();
    for (const owner_table::claimed& notification : sent) owners_.run(notification);
    sent.clear();  // callbacks are destroyed with the lock released
    std::this_thread::yield();
    lock.lock();
  }
}

void headset_link::lose_link(std::unique_lock<std::mutex>& lock) {
  connected_ = false;
  model_.disconnect();
  // Holders and subscriptions end now: a connect may follow as soon as the
  // lock is released.
  const std::vector<owner_table::handler_ptr> hooks = owners_.lose_link();
  update_notifying_locked();
  lock.unlock();
  // Every holder of the link hears of the loss once, here on the worker.
  owners_.call_hooks(hooks);
  lock.lock();
}

}  // namespace calyra::core::ble::virtual_ble
