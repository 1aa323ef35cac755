#include "ble/bluez/bus_client.h"

#include <sdbus-c++/sdbus-c++.h>

#include <utility>

#include "runtime/logger.h"

namespace calyra::core::ble::bluez {
namespace {

constexpr const char* bluez_name = "org.bluez";
constexpr const char* object_manager_interface = "org.freedesktop.DBus.ObjectManager";
constexpr const char* properties_interface = "org.freedesktop.DBus.Properties";

using variant_map = std::map<std::string, sdbus::Variant>;
using interface_map = std::map<std::string, variant_map>;
using object_map = std::map<sdbus::ObjectPath, interface_map>;

// The property types the mirror keeps; anything else is left out.
property_set to_plain(const variant_map& values) {
  property_set out;
  for (const auto& [key, value] : values) {
    const std::string type = value.peekValueType();
    if (type == "b")
      out.emplace(key, value.get<bool>());
    else if (type == "s")
      out.emplace(key, value.get<std::string>());
    else if (type == "o")
      out.emplace(key, std::string(value.get<sdbus::ObjectPath>()));
    else if (type == "n")
      out.emplace(key, std::int64_t{value.get<std::int16_t>()});
    else if (type == "q")
      out.emplace(key, std::int64_t{value.get<std::uint16_t>()});
  }
  return out;
}

std::string as_string(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t micros(std::chrono::milliseconds timeout) {
  return std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
}

}  // namespace

std::shared_ptr<bus_client> bus_client::open() {
  std::shared_ptr<bus_client> client(new bus_client());
  client->connection_ = sdbus::createSystemBusConnection();
  client->root_proxy_ = sdbus::createProxy(*client->connection_, bluez_name, "/");
  client->install_matches();
  client->connection_->enterEventLoopAsync();
  client->loop_running_ = true;
  client->fetch_objects();
  return client;
}

bus_client::~bus_client() {
  // Stops and joins the loop thread; never called on it (see the header).
  if (loop_running_) connection_->leaveEventLoop();
  matches_.clear();
  root_proxy_.reset();
  links_.clear();
  connection_.reset();
}

void bus_client::install_matches() {
  // Installed before the event loop starts: the connection is not safe to
  // change from another thread while its loop runs.
  const std::string from_bluez = std::string("type='signal',sender='") + bluez_name + "',";
  matches_.push_back(connection_->addMatch(
      from_bluez + "interface='" + object_manager_interface + "',member='InterfacesAdded'",
      [this](sdbus::Message& m) { on_interfaces_added(m); }));
  matches_.push_back(connection_->addMatch(
      from_bluez + "interface='" + object_manager_interface + "',member='InterfacesRemoved'",
      [this](sdbus::Message& m) { on_interfaces_removed(m); }));
  matches_.push_back(connection_->addMatch(
      from_bluez + "interface='" + properties_interface + "',member='PropertiesChanged'",
      [this](sdbus::Message& m) { on_properties_changed(m); }));
  matches_.push_back(connection_->addMatch(
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
      "member='NameOwnerChanged',arg0='org.bluez'",
      [this](sdbus::Message& m) { on_name_owner_changed(m); }));
}

void bus_client::fetch_objects() {
  object_map objects;
  try {
    auto call = root_proxy_->createMethodCall(object_manager_interface, "GetManagedObjects");
    auto reply = root_proxy_->callMethod(call, micros(std::chrono::milliseconds(2000)));
    reply >> objects;
  } catch (const sdbus::Error&) {
    return;  // no bluetoothd (yet): the tree comes with its NameOwnerChanged
  }
  std::lock_guard lock(mutex_);
  bluez_present_ = true;
  for (const auto& [path, interfaces] : objects)
    for (const auto& [interface, properties] : interfaces)
      mirror_.add_interface(path, interface, to_plain(properties));
  changed_.notify_all();
}

bool bus_client::bluez_present() {
  std::lock_guard lock(mutex_);
  return bluez_present_;
}

std::shared_ptr<device_link> bus_client::link(const std::string& device_path) {
  std::shared_ptr<device_link> out;
  {
    std::lock_guard lock(mutex_);
    auto& slot = links_[device_path];
    if (!slot) slot = std::make_shared<device_link>(device_path);
    out = slot;
    if (const device_record* d = mirror_.device(device_path)) out->remember(d->name, d->address);
  }
  return out;
}

std::map<std::string, adapter_record> bus_client::adapters() {
  std::lock_guard lock(mutex_);
  return mirror_.adapters();
}

std::map<std::string, device_record> bus_client::devices() {
  std::lock_guard lock(mutex_);
  return mirror_.devices();
}

std::optional<device_record> bus_client::device(const std::string& path) {
  std::lock_guard lock(mutex_);
  const device_record* d = mirror_.device(path);
  if (d == nullptr) return std::nullopt;
  return *d;
}

std::optional<std::string> bus_client::find_characteristic(const std::string& device,
                                                           const std::string& service_uuid,
                                                           const std::string& characteristic_uuid) {
  std::lock_guard lock(mutex_);
  return mirror_.find_characteristic(device, service_uuid, characteristic_uuid);
}

std::optional<std::string> bus_client::any_characteristic(const std::string& device) {
  std::lock_guard lock(mutex_);
  return mirror_.any_characteristic(device);
}

bool bus_client::wait_for_device(const std::string& path, std::chrono::milliseconds timeout,
                                 const device_condition& done) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(mirror_.device(path)); });
}

void bus_client::release_unused() {
  std::vector<std::shared_ptr<device_link>> unused;  // destroyed with mutex_ released
  {
    std::lock_guard lock(mutex_);
    for (auto it = links_.begin(); it != links_.end();) {
      // Peripheral objects take their reference under mutex_, so a count of
      // one cannot grow while it is held.
      if (it->second.use_count() == 1 && !it->second->in_use()) {
        unused.push_back(std::move(it->second));
        it = links_.erase(it);
      } else {
        ++it;
      }
    }
  }
}

void bus_client::begin_scan(const std::string& adapter_path) {
  release_unused();
  std::lock_guard lock(mutex_);
  scanning_adapter_ = adapter_path;
  seen_.clear();
}

std::set<std::string> bus_client::end_scan() {
  std::lock_guard lock(mutex_);
  scanning_adapter_.reset();
  return std::exchange(seen_, {});
}

void bus_client::on_interfaces_added(sdbus::Message& message) {
  sdbus::ObjectPath path;
  interface_map interfaces;
  message >> path >> interfaces;
  std::lock_guard lock(mutex_);
  for (const auto& [interface, properties] : interfaces) {
    mirror_.add_interface(path, interface, to_plain(properties));
    if (interface == device_interface && scanning_adapter_) {
      const device_record* d = mirror_.device(path);
      if (d != nullptr && d->adapter == *scanning_adapter_) seen_.insert(path);
    }
  }
  changed_.notify_all();
}

void bus_client::on_interfaces_removed(sdbus::Message& message) {
  sdbus::ObjectPath path;
  std::vector<std::string> interfaces;
  message >> path >> interfaces;
  {
    std::lock_guard lock(mutex_);
    removed_locked(path, interfaces);
  }
  write_notes();
}

void bus_client::removed_locked(const std::string& path, const std::vector<std::string>& interfaces) {
  for (const std::string& interface : interfaces) {
    if (interface == device_interface) {
      // The device object vanished: a link to it cannot still be up.
      if (const auto it = links_.find(path); it != links_.end())
        lose_link(*it->second, "the device object was removed", path);
    }
    mirror_.remove_interface(path, interface);
  }
  changed_.notify_all();
}

void bus_client::on_properties_changed(sdbus::Message& message) {
  // A notification arrived when its message was read, not when a callback
  // gets to it.
  const std::int64_t arrival_ns = steady_now_ns();
  const std::string path = message.getPath();
  std::string interface;
  variant_map values;
  std::vector<std::string> invalidated;
  message >> interface >> values >> invalidated;

  if (interface == characteristic_interface) {
    const auto value = values.find("Value");
    if (value != values.end() && value->second.containsValueOfType<std::vector<std::uint8_t>>())
      on_value(path, as_string(value->second.get<std::vector<std::uint8_t>>()), arrival_ns);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    changed_locked(path, interface, values, invalidated);
  }
  write_notes();
}

void bus_client::changed_locked(const std::string& path, const std::string& interface,
                                const std::map<std::string, sdbus::Variant>& values,
                                const std::vector<std::string>& invalidated) {
  const property_set changes = to_plain(values);
  mirror_.change_properties(path, interface, changes, invalidated);
  if (interface == device_interface) {
    if (scanning_adapter_ && values.count("RSSI") != 0) {
      const device_record* d = mirror_.device(path);
      if (d != nullptr && d->adapter == *scanning_adapter_) seen_.insert(path);
    }
    const auto connected = changes.find("Connected");
    if (connected != changes.end() && connected->second == property_value(false)) {
      if (const auto it = links_.find(path); it != links_.end())
        lose_link(*it->second, "Connected became false", path);
    }
  }
  changed_.notify_all();
}

void bus_client::on_value(const std::string& path, std::string value, std::int64_t arrival_ns) {
  std::lock_guard lock(mutex_);
  const auto device = mirror_.device_of_characteristic(path);
  if (!device) return;
  const auto it = links_.find(*device);
  if (it != links_.end()) it->second->value_changed(path, std::move(value), arrival_ns);
}

void bus_client::on_name_owner_changed(sdbus::Message& message) {
  std::string name, old_owner, new_owner;
  message >> name >> old_owner >> new_owner;
  if (name != bluez_name) return;
  if (!old_owner.empty()) {
    {
      std::lock_guard lock(mutex_);
      forget_daemon();
    }
    write_notes();
  }
  if (new_owner.empty()) return;
  {
    std::lock_guard lock(mutex_);
    bluez_present_ = true;
  }
  // bluetoothd is back: fetch its tree without blocking the loop.
  root_proxy_->callMethodAsync("GetManagedObjects")
      .onInterface(object_manager_interface)
      .uponReplyInvoke([this](const sdbus::Error* error, const object_map& objects) {
        if (error != nullptr) return;
        std::lock_guard lock(mutex_);
        for (const auto& [path, interfaces] : objects)
          for (const auto& [interface, properties] : interfaces)
            mirror_.add_interface(path, interface, to_plain(properties));
        changed_.notify_all();
      });
}

void bus_client::forget_daemon() {
  notes_.push_back("BlueZ: bluetoothd left the bus; every link is lost");
  for (auto& [path, link] : links_)
    if (link->daemon_gone()) note_loss(*link, "bluetoothd left the bus", path);
  mirror_.clear();
  bluez_present_ = false;
  changed_.notify_all();
}

void bus_client::lose_link(device_link& link, const char* reason, const std::string& device_path) {
  // A link that is down already, or closing on request, is not lost.
  if (link.lose_if_up()) note_loss(link, reason, device_path);
}

void bus_client::note_loss(device_link& link, const char* reason, const std::string& device_path) {
  const std::string name = link.name();
  notes_.push_back("BlueZ: link to " + (name.empty() ? device_path : name) + " lost (" + reason + ")");
}

void bus_client::write_notes() {
  // Lines are written with mutex_ released: a host may read peripheral
  // state while formatting a log line, which takes this mutex under the
  // logger's.
  std::vector<std::string> lines;
  {
    std::lock_guard lock(mutex_);
    lines.swap(notes_);
  }
  for (const std::string& line : lines) logger::log_text(log_level::INFO, line);
}

void bus_client::call_void(const std::string& path, const char* interface, const char* method,
                           std::chrono::milliseconds timeout) {
  auto proxy = sdbus::createProxy(*connection_, bluez_name, path);
  auto call = proxy->createMethodCall(interface, method);
  proxy->callMethod(call, micros(timeout));
}

void bus_client::start_discovery_filter(const std::string& adapter_path) {
  auto proxy = sdbus::createProxy(*connection_, bluez_name, adapter_path);
  auto call = proxy->createMethodCall(adapter_interface, "SetDiscoveryFilter");
  call << variant_map{{"Transport", sdbus::Variant(std::string("le"))},
                      {"DuplicateData", sdbus::Variant(true)}};
  proxy->callMethod(call, micros(std::chrono::milliseconds(5000)));
}

std::string bus_client::read_value(const std::string& path, std::chrono::milliseconds timeout) {
  auto proxy = sdbus::createProxy(*connection_, bluez_name, path);
  auto call = proxy->createMethodCall(characteristic_interface, "ReadValue");
  call << variant_map{};
  auto reply = proxy->callMethod(call, micros(timeout));
  std::vector<std::uint8_t> bytes;
  reply >> bytes;
  return as_string(bytes);
}

void bus_client::write_value(const std::string& path, const std::string& value,
                             std::chrono::milliseconds timeout) {
  auto proxy = sdbus::createProxy(*connection_, bluez_name, path);
  auto call = proxy->createMethodCall(characteristic_interface, "WriteValue");
  call << std::vector<std::uint8_t>(value.begin(), value.end())
       << variant_map{{"type", sdbus::Variant(std::string("request"))}};
  proxy->callMethod(call, micros(timeout));
}

int bus_client::acquire_notify(const std::string& path, std::chrono::milliseconds timeout) {
  auto proxy = sdbus::createProxy(*connection_, bluez_name, path);
  auto call = proxy->createMethodCall(characteristic_interface, "AcquireNotify");
  call << variant_map{};
  auto reply = proxy->callMethod(call, micros(timeout));
  sdbus::UnixFd fd;
  std::uint16_t mtu = 0;
  reply >> fd >> mtu;
  return fd.release();
}

std::optional<std::uint16_t> bus_client::read_mtu(const std::string& path) {
  try {
    auto proxy = sdbus::createProxy(*connection_, bluez_name, path);
    auto call = proxy->createMethodCall(properties_interface, "Get");
    call << std::string(characteristic_interface) << std::string("MTU");
    auto reply = proxy->callMethod(call, micros(std::chrono::milliseconds(2000)));
    sdbus::Variant value;
    reply >> value;
    if (value.containsValueOfType<std::uint16_t>()) return value.get<std::uint16_t>();
  } catch (const sdbus::Error&) {
    // No GATT client in BlueZ yet: the property is absent.
  }
  return std::nullopt;
}

}  // namespace calyra::core::ble::bluez
