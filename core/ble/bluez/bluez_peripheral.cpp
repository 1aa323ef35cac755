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
    : client_(std::move(client)), path_(std::move(path)), link_(client_->link(path_)) {}

std::string bluez_peripheral::identifier() {
  if (const auto d = client_->device(path_)) link_->remember(d->name, d->address);
  return link_->name();
}

std::string bluez_peripheral::address() {
  if (const auto d = client_->device(path_)) link_->remember(d->name, d->address);
  return link_->address();
}

std::string bluez_peripheral::display_name() {
  const std::string name = link_->name();
  return name.empty() ? path_ : name;
}

bool bluez_peripheral::is_connected() { return link_->up(); }

std::uint16_t bluez_peripheral::mtu() { return link_->mtu(); }

void bluez_peripheral::connect(owner_token owner) {
  if (!link_->begin_connect(owner)) return;  // joined the link that is up
  opened link;
  try {
    link = open_link();
  } catch (...) {
    link_->connect_failed();
    throw;
  }
  link_->connect_done(owner, link.mtu, link.brought_up);
}

std::string bluez_peripheral::adapter_off_text() {
  const auto d = client_->device(path_);
  const std::string adapter = d ? d->adapter : std::string();
  return "Bluetooth adapter " + adapter.substr(adapter.rfind('/') + 1) + " is off";
}

void bluez_peripheral::wait_for_foreign_connect(const std::string& name) {
  // Another program is connecting this device (Connect answered InProgress):
  // its link is used once it is up.
  const bool up = client_->wait_for_device(path_, connect_call_timeout,
                                           [](const device_record* d) { return d == nullptr || d->connected; });
  if (!up || !client_->device(path_))
    throw operation_failed_error(name + ": connect: another program's connection did not come up within " +
                                 std::to_string(connect_call_timeout.count()) + " s");
}

bluez_peripheral::opened bluez_peripheral::open_link() {
  const std::string name = display_name();
  // A link that another program brought up is shared, not ours to close.
  const auto before = client_->device(path_);
  bool brought_up = !(before && before->connected);
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
  // For LE, Connect answers before service discovery has finished. The
  // reply may also overtake the Connected change that preceded it (the
  // caller's thread reads the reply, the loop thread the signal), so only
  // Connected false after true is a link that went down.
  bool seen_up = false;
  const bool settled = client_->wait_for_device(path_, services_resolved_timeout, [&](const device_record* d) {
    if (d == nullptr || d->services_resolved) return true;
    seen_up = seen_up || d->connected;
    return seen_up && !d->connected;
  });
  const auto now = client_->device(path_);
  if (!now || !now->connected)
    throw operation_failed_error(name + ": connect: the link went down before the services were resolved");
  if (!settled) {
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
  const std::optional<std::string> any_characteristic = client_->any_characteristic(path_);
  // The MTU shows up without a signal once BlueZ's GATT client exists.
  const std::uint16_t mtu =
      any_characteristic ? client_->read_mtu(*any_characteristic).value_or(23) : 23;
  const auto after = client_->device(path_);
  if (!after || !after->connected)
    throw operation_failed_error(name + ": connect: the link went down while connecting");
  return {mtu, brought_up};
}

void bluez_peripheral::disconnect(owner_token owner) {
  const bool held = link_->owners.release(owner);
  if (held && link_->begin_close()) {
    close_link();
    return;
  }
  for (const std::string& key : link_->unused_sessions()) stop_session(key);
}

void bluez_peripheral::close_link() {
  const std::string name = display_name();
  // Subscriptions of owners that never held the link end with it too.
  link_->owners.end_subscriptions();

  std::lock_guard gatt(link_->gatt_mutex);
  bool socket = false;
  const std::vector<std::string> sessions = link_->end_all_sessions(socket);
  if (socket) link_->owners.dispatcher().detach_socket();
  // BlueZ would re-enable these sessions at the next connection otherwise.
  for (const std::string& path : sessions) {
    try {
      client_->call_void(path, characteristic_interface, "StopNotify", gatt_timeout);
    } catch (const sdbus::Error& e) {
      log_ignored(name + ": StopNotify before disconnect", e);
    }
  }
  if (!link_->brought_up()) {
    // Disconnect drops the link for every program using it: one that
    // another program brought up is only let go.
    logger::log(log_level::DEBUG, [&](std::ostream& out) {
      out << "BlueZ: " << name << ": letting go of a link another program brought up";
    });
    link_->close_done();
    return;
  }
  try {
    client_->call_void(path_, device_interface, "Disconnect", disconnect_timeout);
  } catch (const sdbus::Error& e) {
    log_ignored(name + ": disconnect", e);
  }
  client_->wait_for_device(path_, disconnect_timeout,
                           [](const device_record* d) { return d == nullptr || !d->connected; });
  link_->close_done();
}

std::string bluez_peripheral::characteristic_path(const std::string& service,
                                                  const std::string& characteristic) {
  if (!link_->up()) throw not_connected_error(display_name() + " is not connected");
  auto path = client_->find_characteristic(path_, service, characteristic);
  if (!path)
    throw not_found_error(display_name() + ": no characteristic " + characteristic + " in service " + service);
  return *path;
}

ByteArray bluez_peripheral::read(const std::string& service, const std::string& characteristic) {
  const std::string path = characteristic_path(service, characteristic);
  std::lock_guard gatt(link_->gatt_mutex);
  try {
    return client_->read_value(path, gatt_timeout);
  } catch (const sdbus::Error& e) {
    throw_ble_error(display_name() + ": read of " + characteristic, e);
  }
}

void bluez_peripheral::write_request(const std::string& service,
                                     const std::string& characteristic, const ByteArray& data) {
  const std::string path = characteristic_path(service, characteristic);
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
  // Routed before StartNotify, so no early value is missed.
  link_->route(key, characteristic_path(service, characteristic));
  const owner_table::handler_ptr fresh = link_->owners.subscribe(owner, key, std::move(callback));

  std::lock_guard gatt(link_->gatt_mutex);
  const auto not_connected = [&] {
    link_->owners.drop(owner, key, fresh);
    return not_connected_error(display_name() + " is not connected");
  };
  if (!link_->owners.is_current(owner, key, fresh)) return;  // removed meanwhile
  const device_link::subscription sub = link_->subscription_of(key);
  if (sub.session || sub.acquired) {
    // The device already sends them; the link may have gone down since the
    // path was resolved.
    if (link_->up()) return;
    throw not_connected();
  }
  bool acquired = false;
  try {
    acquired = wants_socket(key) && acquire(key, sub.path, characteristic);
    if (!acquired) client_->call_void(sub.path, characteristic_interface, "StartNotify", gatt_timeout);
  } catch (const sdbus::Error& e) {
    if (!is_in_progress(e)) {  // InProgress of StartNotify: our session already exists
      link_->owners.drop(owner, key, fresh);
      throw_ble_error(display_name() + ": subscribe to " + characteristic, e);
    }
  }
  if (!acquired) link_->session_started(key);
  // StartNotify on a device without a link answers success.
  if (!link_->up()) throw not_connected();
}

void bluez_peripheral::unsubscribe(owner_token owner, const std::string& service,
                                   const std::string& characteristic) {
  const std::string key = subscription_key(service, characteristic);
  link_->owners.unsubscribe(owner, key);
  if (!link_->owners.has_subscribers(key)) stop_session(key);
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
  const std::uint64_t acquisition = link_->socket_acquired(key);
  // The link outlives the dispatcher thread that calls these.
  device_link* link = link_.get();
  // Received before a link loss: still delivered (subscribers() includes
  // those).
  const auto targets = [link, key] { return link->owners.subscribers(key); };
  const std::string name = display_name();
  const auto closed = [link, key, acquisition, name] {
    bool link_up = false;
    // With the link up, BlueZ let go of the socket: no more notifications
    // come until the next subscription.
    if (link->socket_closed(key, acquisition, link_up) && link_up)
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
  bool socket = false;
  const std::string path = link_->end_unused_session(key, socket);
  if (socket) link_->owners.dispatcher().detach_socket();
  if (path.empty()) return;
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
