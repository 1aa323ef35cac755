#include "ble/bluez/bluez_peripheral.h"

#include <sdbus-c++/Error.h>

#include <chrono>
#include <utility>
#include <vector>

#include "ble/ble_error.h"
#include "ble/bluez/dbus_errors.h"
#include "protocol/gatt_map.h"
#include "runtime/logger.h"

namespace calyra::core::ble::bluez {
namespace {

using namespace std::chrono_literals;

// Connect answers once the ATT link is up; service discovery takes longer.
constexpr auto connect_call_timeout = 20s;
constexpr auto services_resolved_timeout = 10s;
constexpr auto gatt_timeout = 10s;
constexpr auto disconnect_timeout = 5s;

std::string subscription_key(const std::string& service, const std::string& characteristic) {
  return to_lower(service) + "/" + to_lower(characteristic);
}

// The EEG stream comes through AcquireNotify's socket when BlueZ hands one
// out: no bus daemon and no thread hand-off on the way.
bool wants_socket(const std::string& key) {
  const auto stream = gatt::uuids(gatt::role::stream_data);
  return key == subscription_key(stream.service, stream.characteristic);
}

// BlueZ will not hand out the socket, but StartNotify may still work: another
// program holds the socket or a notify session, or BlueZ cannot do it.
bool is_refusal(const sdbus::Error& e) {
  return e.getName() == "org.bluez.Error.NotPermitted" || e.getName() == "org.bluez.Error.NotSupported" ||
         is_in_progress(e) || e.getName() == "org.freedesktop.DBus.Error.UnknownMethod";
}

void log_ignored(const std::string& what, const sdbus::Error& e) {
  logger::log(log_level::DEBUG, [&](std::ostream& out) {
    out << "BlueZ: " << what << ": " << e.getName() << ": " << e.getMessage();
  });
}

}  // namespace

bluez_peripheral::bluez_peripheral(std::shared_ptr<bus_client> client, std::string path)
    : client_(std::move(client)), path_(std::move(path)) {
  std::lock_guard lock(client_->mutex);
  link_ = client_->link_locked(path_);
  if (const device_record* d = client_->mirror.device(path_)) {
    if (d->name) link_->name = *d->name;
    link_->address = d->address;
  }
}

std::string bluez_peripheral::identifier() {
  std::lock_guard lock(client_->mutex);
  if (const device_record* d = client_->mirror.device(path_); d != nullptr && d->name)
    link_->name = *d->name;
  return link_->name;
}

std::string bluez_peripheral::address() {
  std::lock_guard lock(client_->mutex);
  if (const device_record* d = client_->mirror.device(path_); d != nullptr && !d->address.empty())
    link_->address = d->address;
  return link_->address;
}

std::string bluez_peripheral::display_name() {
  std::lock_guard lock(client_->mutex);
  return link_->name.empty() ? path_ : link_->name;
}

bool bluez_peripheral::is_connected() {
  std::lock_guard lock(client_->mutex);
  return link_->up;
}

std::uint16_t bluez_peripheral::mtu() {
  std::lock_guard lock(client_->mutex);
  return link_->mtu;
}

void bluez_peripheral::connect(owner_token owner) {
  {
    std::unique_lock lock(client_->mutex);
    client_->changed.wait(lock, [&] { return !link_->connecting && !link_->closing; });
    if (link_->up) {
      link_->owners.hold(owner);
      return;
    }
    link_->connecting = true;
  }
  try {
    open_link();
  } catch (...) {
    std::lock_guard lock(client_->mutex);
    link_->connecting = false;
    client_->changed.notify_all();
    throw;
  }
  std::lock_guard lock(client_->mutex);
  link_->connecting = false;
  link_->up = true;
  link_->owners.hold(owner);
  // What the last link left queued belongs to a link that is gone.
  link_->owners.link_opened();
  client_->changed.notify_all();
}

std::string bluez_peripheral::adapter_off_text() {
  std::lock_guard lock(client_->mutex);
  const device_record* d = client_->mirror.device(path_);
  const std::string adapter = d != nullptr ? d->adapter : std::string();
  return "Bluetooth adapter " + adapter.substr(adapter.rfind('/') + 1) + " is off";
}

void bluez_peripheral::wait_for_foreign_connect(const std::string& name) {
  // Another program is connecting this device (Connect answered InProgress):
  // its link is used once it is up.
  std::unique_lock lock(client_->mutex);
  const bool up = client_->changed.wait_for(lock, connect_call_timeout, [&] {
    const device_record* d = client_->mirror.device(path_);
    return d == nullptr || d->connected;
  });
  if (!up || client_->mirror.device(path_) == nullptr)
    throw operation_failed_error(name + ": connect: another program's connection did not come up within " +
                                 std::to_string(connect_call_timeout.count()) + " s");
}

void bluez_peripheral::open_link() {
  const std::string name = display_name();
  // A link that another program brought up is shared, not ours to close.
  bool was_connected = false;
  {
    std::lock_guard lock(client_->mutex);
    const device_record* d = client_->mirror.device(path_);
    was_connected = d != nullptr && d->connected;
  }
  bool brought_up = !was_connected;
  try {
    client_->call_void(path_, device_interface, "Connect", connect_call_timeout);
  } catch (const sdbus::Error& e) {
    if (is_not_ready(e)) throw adapter_off_error(name + ": connect: " + adapter_off_text());
    if (is_in_progress(e)) {
      wait_for_foreign_connect(name);
      brought_up = false;
    } else if (e.getName() == "org.bluez.Error.AlreadyConnected") {
      brought_up = false;
    } else {
      throw_ble_error(name + ": connect", e);
    }
  }
  std::optional<std::string> any_characteristic;
  {
    std::unique_lock lock(client_->mutex);
    // For LE, Connect answers before service discovery has finished. The
    // reply may also overtake the Connected change that preceded it (the
    // caller's thread reads the reply, the loop thread the signal), so only
    // Connected false after true is a link that went down.
    bool seen_up = false;
    const bool settled = client_->changed.wait_for(lock, services_resolved_timeout, [&] {
      const device_record* d = client_->mirror.device(path_);
      if (d == nullptr || d->services_resolved) return true;
      seen_up = seen_up || d->connected;
      return seen_up && !d->connected;
    });
    const device_record* d = client_->mirror.device(path_);
    if (d == nullptr || !d->connected)
      throw operation_failed_error(name + ": connect: the link went down before the services were resolved");
    if (!settled) {
      lock.unlock();
      if (brought_up) {
        try {
          client_->call_void(path_, device_interface, "Disconnect", disconnect_timeout);
        } catch (const sdbus::Error& e) {
          log_ignored(name + ": disconnect after a failed connect", e);
        }
      }
      throw operation_failed_error(name + ": connect: services not resolved within " +
                                   std::to_string(services_resolved_timeout.count()) + " s");
    }
    any_characteristic = client_->mirror.any_characteristic(path_);
  }
  // The MTU shows up without a signal once BlueZ's GATT client exists.
  const std::uint16_t mtu =
      any_characteristic ? client_->read_mtu(*any_characteristic).value_or(23) : 23;
  std::lock_guard lock(client_->mutex);
  const device_record* d = client_->mirror.device(path_);
  if (d == nullptr || !d->connected)
    throw operation_failed_error(name + ": connect: the link went down while connecting");
  link_->mtu = mtu;
  link_->brought_up = brought_up;
}

void bluez_peripheral::disconnect(owner_token owner) {
  const bool held = link_->owners.release(owner);
  std::vector<std::string> emptied;
  bool close = false;
  {
    std::lock_guard lock(client_->mutex);
    for (auto& [key, sub] : link_->subscriptions)
      if ((sub.session || sub.acquired) && !link_->owners.has_subscribers(key)) emptied.push_back(key);
    // Decided under the mutex a connect joins the link under: a connect that
    // came in meanwhile keeps the link, and only one disconnect closes it.
    if (held && link_->owners.holder_count() == 0 && link_->up && !link_->closing) {
      close = true;
      link_->closing = true;
    }
  }
  if (close) {
    close_link();
    return;
  }
  for (const std::string& key : emptied) stop_session(key);
}

void bluez_peripheral::close_link() {
  const std::string name = display_name();
  // Subscriptions of owners that never held the link end with it too.
  link_->owners.end_subscriptions();

  std::lock_guard gatt(link_->gatt_mutex);
  std::vector<std::string> sessions;
  bool socket = false;
  {
    std::lock_guard lock(client_->mutex);
    for (auto& [key, sub] : link_->subscriptions) {
      if (sub.session) sessions.push_back(sub.path);
      sub.session = false;
      socket = socket || sub.acquired;
      if (sub.acquired) ++sub.acquisition;
      sub.acquired = false;
    }
  }
  if (socket) link_->owners.dispatcher().detach_socket();
  // BlueZ would re-enable these sessions at the next connection otherwise.
  for (const std::string& path : sessions) {
    try {
      client_->call_void(path, characteristic_interface, "StopNotify", gatt_timeout);
    } catch (const sdbus::Error& e) {
      log_ignored(name + ": StopNotify before disconnect", e);
    }
  }
  bool ours = false;
  {
    std::lock_guard lock(client_->mutex);
    ours = link_->brought_up;
  }
  if (!ours) {
    // Disconnect drops the link for every program using it: one that
    // another program brought up is only let go.
    logger::log(log_level::DEBUG, [&](std::ostream& out) {
      out << "BlueZ: " << name << ": letting go of a link another program brought up";
    });
    std::lock_guard lock(client_->mutex);
    link_->up = false;
    link_->closing = false;
    client_->changed.notify_all();
    return;
  }
  try {
    client_->call_void(path_, device_interface, "Disconnect", disconnect_timeout);
  } catch (const sdbus::Error& e) {
    log_ignored(name + ": disconnect", e);
  }
  std::unique_lock lock(client_->mutex);
  client_->changed.wait_for(lock, disconnect_timeout, [&] {
    const device_record* d = client_->mirror.device(path_);
    return d == nullptr || !d->connected;
  });
  link_->up = false;
  link_->closing = false;
  client_->changed.notify_all();
}

std::string bluez_peripheral::characteristic_path_locked(const std::string& service,
                                                         const std::string& characteristic) {
  if (!link_->up)
    throw not_connected_error((link_->name.empty() ? path_ : link_->name) + " is not connected");
  auto path = client_->mirror.find_characteristic(path_, service, characteristic);
  if (!path)
    throw not_found_error((link_->name.empty() ? path_ : link_->name) +
                          ": no characteristic " + characteristic + " in service " + service);
  return *path;
}

ByteArray bluez_peripheral::read(const std::string& service, const std::string& characteristic) {
  std::string path;
  {
    std::lock_guard lock(client_->mutex);
    path = characteristic_path_locked(service, characteristic);
  }
  std::lock_guard gatt(link_->gatt_mutex);
  try {
    return client_->read_value(path, gatt_timeout);
  } catch (const sdbus::Error& e) {
    throw_ble_error(display_name() + ": read of " + characteristic, e);
  }
}

void bluez_peripheral::write_request(const std::string& service,
                                     const std::string& characteristic, const ByteArray& data) {
  std::string path;
  {
    std::lock_guard lock(client_->mutex);
    path = characteristic_path_locked(service, characteristic);
  }
  // One write at a time per device: BlueZ answers a concurrent one with
  // InProgress.
  std::lock_guard gatt(link_->gatt_mutex);
  try {
    client_->write_value(path, data, gatt_timeout);
  } catch (const sdbus::Error& e) {
    throw_ble_error(display_name() + ": write of " + characteristic, e);
  }
}

void bluez_peripheral::notify(owner_token owner, const std::string& service,
                              const std::string& characteristic, NotifyCallback callback) {
  const std::string key = subscription_key(service, characteristic);
  {
    std::lock_guard lock(client_->mutex);
    const std::string path = characteristic_path_locked(service, characteristic);
    link_->subscriptions[key].path = path;  // routed before StartNotify, so no early value is missed
  }
  const owner_table::handler_ptr fresh = link_->owners.subscribe(owner, key, std::move(callback));

  std::lock_guard gatt(link_->gatt_mutex);
  const auto not_connected = [&] {
    link_->owners.drop(owner, key, fresh);
    return not_connected_error(display_name() + " is not connected");
  };
  std::string path;
  {
    std::lock_guard lock(client_->mutex);
    if (!link_->owners.is_current(owner, key, fresh)) return;  // removed meanwhile
    const subscription& sub = link_->subscriptions[key];
    // The link may have gone down since the path was resolved.
    if (sub.session || sub.acquired) {
      if (link_->up) return;
    } else {
      path = sub.path;
    }
  }
  if (path.empty()) throw not_connected();
  bool acquired = false;
  try {
    acquired = wants_socket(key) && acquire(key, path, characteristic);
    if (!acquired) client_->call_void(path, characteristic_interface, "StartNotify", gatt_timeout);
  } catch (const sdbus::Error& e) {
    if (!is_in_progress(e)) {  // InProgress of StartNotify: our session already exists
      link_->owners.drop(owner, key, fresh);
      throw_ble_error(display_name() + ": subscribe to " + characteristic, e);
    }
  }
  bool up = false;
  {
    std::lock_guard lock(client_->mutex);
    if (!acquired) link_->subscriptions[key].session = true;
    up = link_->up;
  }
  // StartNotify on a device without a link answers success.
  if (!up) throw not_connected();
}

void bluez_peripheral::unsubscribe(owner_token owner, const std::string& service,
                                   const std::string& characteristic) {
  const std::string key = subscription_key(service, characteristic);
  link_->owners.unsubscribe(owner, key);
  bool last = false;
  {
    std::lock_guard lock(client_->mutex);
    if (const auto sub = link_->subscriptions.find(key); sub != link_->subscriptions.end())
      last = (sub->second.session || sub->second.acquired) && !link_->owners.has_subscribers(key);
  }
  if (last) stop_session(key);
}

bool bluez_peripheral::acquire(const std::string& key, const std::string& path,
                               const std::string& characteristic) {
  int fd = -1;
  try {
    fd = client_->acquire_notify(path, gatt_timeout);
  } catch (const sdbus::Error& e) {
    if (!is_refusal(e)) throw;
    logger::log(log_level::INFO, [&](std::ostream& out) {
      out << "BlueZ: " << display_name() << ": notifications of " << characteristic
          << " through PropertiesChanged signals (AcquireNotify refused: " << e.getName() << ": "
          << e.getMessage() << ")";
    });
    return false;
  }
  std::uint64_t acquisition = 0;
  {
    std::lock_guard lock(client_->mutex);
    subscription& sub = link_->subscriptions[key];
    sub.acquired = true;
    acquisition = ++sub.acquisition;
  }
  // The client and the link outlive the dispatcher thread that calls these.
  bus_client* client = client_.get();
  device_link* link = link_.get();
  // Received before a link loss: still delivered (subscribers() includes
  // those).
  const auto targets = [link, key] { return link->owners.subscribers(key); };
  const std::string name = display_name();
  const auto closed = [client, link, key, acquisition, name] {
    bool unexpected = false;
    {
      std::lock_guard lock(client->mutex);
      subscription& sub = link->subscriptions[key];
      if (sub.acquisition != acquisition || !sub.acquired) return;
      sub.acquired = false;
      unexpected = link->up;
    }
    // With the link up, BlueZ let go of the socket: no more notifications
    // come until the next subscription.
    if (unexpected)
      logger::log(log_level::WARNING,
                  [&](std::ostream& out) { out << "BlueZ: " << name << ": the notification socket closed"; });
  };
  link_->owners.dispatcher().attach_socket(fd, targets, closed);
  logger::log(log_level::INFO, [&](std::ostream& out) {
    out << "BlueZ: " << name << ": notifications of " << characteristic << " through AcquireNotify's socket";
  });
  return true;
}

void bluez_peripheral::stop_session(const std::string& key) {
  std::lock_guard gatt(link_->gatt_mutex);
  std::string path;
  {
    std::lock_guard lock(client_->mutex);
    subscription& sub = link_->subscriptions[key];
    if (link_->owners.has_subscribers(key) || !(sub.session || sub.acquired)) return;
    if (sub.acquired) {
      // Closing the socket ends the acquisition in BlueZ.
      sub.acquired = false;
      ++sub.acquisition;
    } else {
      sub.session = false;
      path = sub.path;
    }
  }
  if (path.empty()) {
    link_->owners.dispatcher().detach_socket();
    return;
  }
  try {
    client_->call_void(path, characteristic_interface, "StopNotify", gatt_timeout);
  } catch (const sdbus::Error& e) {
    // "No notify session started", or the device or daemon is gone: the
    // session is over either way.
    log_ignored(display_name() + ": StopNotify", e);
  }
}

void bluez_peripheral::set_callback_on_disconnected(owner_token owner,
                                                    DisconnectCallback callback) {
  link_->owners.set_hook(owner, std::move(callback));
}

}  // namespace calyra::core::ble::bluez
