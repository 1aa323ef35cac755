#include "fake_bluez.h"

#include <sdbus-c++/sdbus-c++.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "protocol/gatt_map.h"

namespace calyra::fake_bluez {
namespace {

using core::gatt::role;
using bytes = std::vector<std::uint8_t>;

constexpr const char* adapter_iface = "org.bluez.Adapter1";
constexpr const char* device_iface = "org.bluez.Device1";
constexpr const char* service_iface = "org.bluez.GattService1";
constexpr const char* characteristic_iface = "org.bluez.GattCharacteristic1";
constexpr const char* control_iface = "org.calyra.FakeHeadset1";
constexpr const char* properties_iface = "org.freedesktop.DBus.Properties";
constexpr std::size_t emission_log_size = 1 << 16;
constexpr std::int16_t rssi = -52;
// What a headset streaming packets of several hundred bytes negotiates, unless
// the device list sets another MTU.
constexpr std::uint16_t default_mtu = 517;

std::uint16_t mtu_of(const sim::device_config& config) { return config.mtu_given ? config.mtu : default_mtu; }

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xffffu);
  return text;
}

std::string device_path(const std::string& adapter_path, const std::string& address) {
  std::string path = adapter_path + "/dev_" + address;
  std::replace(path.begin(), path.end(), ':', '_');
  return path;
}

sdbus::Error not_ready() { return sdbus::Error("org.bluez.Error.NotReady", "Resource Not Ready"); }
// What BlueZ answers when an LE connection attempt finds no headset.
sdbus::Error out_of_reach() { return sdbus::Error("org.bluez.Error.Failed", "le-connection-abort-by-local"); }

bytes to_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }

std::uint64_t monotonic_ns(clock::time_point t) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

// Properties changed on one interface, emitted without a getter round trip.
void emit_changed(sdbus::IObject& object, const char* interface,
                  std::map<std::string, sdbus::Variant> values) {
  auto signal = object.createSignal(properties_iface, "PropertiesChanged");
  signal << std::string(interface) << values << std::vector<std::string>{};
  object.emitSignal(signal);
}

}  // namespace

struct fake_bluez::adapter {
  std::string name;  // hciN
  std::string path;
  std::string address;
  bool powered = true;
  std::set<std::string> discovery_clients;
  std::unique_ptr<sdbus::IObject> object;
};

struct fake_bluez::characteristic {
  role r;
  std::string path;
  std::string service_path;
  std::unique_ptr<sdbus::IObject> object;
  bytes value;
  std::set<std::string> sessions;  // clients holding a notify session
  int acquired_fd = -1;            // our end of the socket of AcquireNotify
  std::string acquirer;            // the client holding it
  bool notifying = false;
  bool write_pending = false;
};

struct fake_bluez::device {
  explicit device(sim::device_config config) : headset(std::move(config), fast_period) {}
  sim::headset_model headset;
  std::string path;
  std::size_t adapter = 0;  // index into adapters_
  std::unique_ptr<sdbus::IObject> object;
  bool connecting = false;  // a Connect waits for the link
  bool services_resolved = false;
  std::vector<std::unique_ptr<sdbus::IObject>> services;
  std::vector<std::unique_ptr<characteristic>> characteristics;
  std::deque<std::uint64_t> emission_times;  // stream packets since the last start
  std::uint64_t burst_left = 0;
  std::uint16_t burst_size = 0;
  std::uint32_t burst_sequence = 0;
  std::chrono::microseconds burst_interval{0};
  clock::time_point burst_next{};
};

fake_bluez::fake_bluez(sdbus::IConnection& connection, std::vector<sim::device_config> devices,
                       options opts)
    : connection_(connection), options_(opts) {
  matches_.push_back(connection_.addMatch(
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
      "member='NameOwnerChanged'",
      [this](sdbus::Message& m) {
        std::string name, old_owner, new_owner;
        m >> name >> old_owner >> new_owner;
        if (new_owner.empty() && !name.empty() && name[0] == ':') on_client_gone(name);
      }));
  std::size_t devices_adapter = 0;
  for (std::size_t i = 0; i < options_.adapters.size(); ++i) {
    auto a = std::make_unique<adapter>();
    a->name = options_.adapters[i].name;
    a->path = "/org/bluez/" + a->name;
    char address[18];
    std::snprintf(address, sizeof address, "00:1B:DC:0F:AC:%02X", static_cast<unsigned>(0xE0 + i) & 0xffu);
    a->address = address;
    a->powered = options_.adapters[i].powered;
    if (a->name == options_.devices_on) devices_adapter = i;
    build_adapter(*a);
    adapters_.push_back(std::move(a));
  }
  for (auto& config : devices) {
    devices_.push_back(std::make_unique<device>(std::move(config)));
    device& d = *devices_.back();
    d.adapter = devices_adapter;
    d.path = device_path(adapters_[devices_adapter]->path, d.headset.config().address);
  }
  // Paired devices are known to BlueZ before any discovery.
  for (auto& d : devices_)
    if (d->headset.config().paired) export_device(*d);
}

fake_bluez::~fake_bluez() {
  for (auto& d : devices_)
    for (auto& c : d->characteristics)
      if (c->acquired_fd >= 0) ::close(c->acquired_fd);
}

const fake_bluez::adapter& fake_bluez::adapter_of(const device& d) const { return *adapters_[d.adapter]; }

// A connected headset stops advertising, as one out of reach does.
bool fake_bluez::advertising(const device& d) { return d.headset.advertising(clock::now()); }

std::string fake_bluez::current_sender(const sdbus::IObject& object) {
  const sdbus::Message* message = object.getCurrentlyProcessedMessage();
  return message ? message->getSender() : std::string();
}

void fake_bluez::after(std::chrono::milliseconds delay, std::function<void()> action) {
  timers_.emplace(clock::now() + delay, std::move(action));
}

void fake_bluez::build_adapter(adapter& ad) {
  ad.object = sdbus::createObject(connection_, ad.path);
  auto& a = *ad.object;
  adapter* self = &ad;
  a.registerProperty("Address").onInterface(adapter_iface).withGetter([self] { return self->address; });
  a.registerProperty("Name").onInterface(adapter_iface).withGetter([] { return std::string("calyra-fake"); });
  a.registerProperty("Alias").onInterface(adapter_iface).withGetter([] { return std::string("calyra-fake"); });
  a.registerProperty("Powered").onInterface(adapter_iface).withGetter([self] { return self->powered; });
  a.registerProperty("Discovering").onInterface(adapter_iface).withGetter([self] {
    return !self->discovery_clients.empty();
  });
  a.registerMethod("SetDiscoveryFilter").onInterface(adapter_iface).implementedAs(
      [](const std::map<std::string, sdbus::Variant>&) {});
  a.registerMethod("StartDiscovery").onInterface(adapter_iface).implementedAs([this, self] {
    if (!self->powered) throw not_ready();
    const std::string sender = current_sender(*self->object);
    if (!self->discovery_clients.insert(sender).second)
      throw sdbus::Error("org.bluez.Error.InProgress", "Operation already in progress");
    if (self->discovery_clients.size() == 1) set_discovering(*self, true);
    for (auto& d : devices_) {
      if (&adapter_of(*d) != self || !advertising(*d)) continue;
      if (!d->object)
        export_device(*d);
      else
        emit_changed(*d->object, device_iface, {{"RSSI", sdbus::Variant(rssi)}});
    }
  });
  a.registerMethod("StopDiscovery").onInterface(adapter_iface).implementedAs([this, self] {
    if (self->discovery_clients.erase(current_sender(*self->object)) == 0)
      throw sdbus::Error("org.bluez.Error.Failed", "No discovery started");
    if (self->discovery_clients.empty()) set_discovering(*self, false);
  });
  a.finishRegistration();
}

void fake_bluez::set_discovering(adapter& a, bool on) {
  emit_changed(*a.object, adapter_iface, {{"Discovering", sdbus::Variant(on)}});
  if (!on) return;
  // Advertisements keep arriving while discovery runs (DuplicateData).
  struct repeat {
    static void arm(fake_bluez* self, adapter* a) {
      self->after(std::chrono::milliseconds(100), [self, a] {
        if (a->discovery_clients.empty()) return;
        for (auto& d : self->devices_) {
          if (&self->adapter_of(*d) != a || !advertising(*d)) continue;
          // A headset back in reach is found by the discovery under way.
          if (!d->object)
            self->export_device(*d);
          else
            emit_changed(*d->object, device_iface, {{"RSSI", sdbus::Variant(rssi)}});
        }
        arm(self, a);
      });
    }
  };
  repeat::arm(this, &a);
}

void fake_bluez::on_client_gone(const std::string& name) {
  for (auto& a : adapters_)
    if (a->discovery_clients.erase(name) != 0 && a->discovery_clients.empty()) set_discovering(*a, false);
  for (auto& d : devices_) {
    for (auto& c : d->characteristics) {
      bool changed = c->sessions.erase(name) != 0;
      if (c->acquired_fd >= 0 && c->acquirer == name) {
        release(*c);
        changed = true;
      }
      if (changed) update_notifying(*d, *c);
    }
  }
}

void fake_bluez::export_device(device& d) {
  d.object = sdbus::createObject(connection_, d.path);
  auto& o = *d.object;
  device* self = &d;
  const sim::device_config& config = d.headset.config();
  o.registerProperty("Address").onInterface(device_iface).withGetter([self] { return self->headset.config().address; });
  o.registerProperty("AddressType").onInterface(device_iface).withGetter([] { return std::string("random"); });
  o.registerProperty("Name").onInterface(device_iface).withGetter([self] { return self->headset.config().name; });
  o.registerProperty("Alias").onInterface(device_iface).withGetter([self] { return self->headset.config().name; });
  o.registerProperty("Adapter").onInterface(device_iface).withGetter([path = adapter_of(d).path] {
    return sdbus::ObjectPath(path);
  });
  o.registerProperty("Paired").onInterface(device_iface).withGetter([paired = config.paired] { return paired; });
  o.registerProperty("Trusted").onInterface(device_iface).withGetter([] { return false; });
  o.registerProperty("Connected").onInterface(device_iface).withGetter([self] { return self->headset.connected(); });
  o.registerProperty("ServicesResolved").onInterface(device_iface).withGetter([self] { return self->services_resolved; });
  o.registerProperty("RSSI").onInterface(device_iface).withGetter([] { return rssi; });
  o.registerMethod("Connect").onInterface(device_iface).implementedAs(
      [this, self](sdbus::Result<>&& reply) { connect(*self, std::move(reply)); });
  o.registerMethod("Disconnect").onInterface(device_iface).implementedAs([this, self] {
    disconnect(*self);
  });
  register_control(d);
  o.finishRegistration();
  o.emitInterfacesAddedSignal();
}

void fake_bluez::register_control(device& d) {
  auto& o = *d.object;
  device* self = &d;
  // The link is lost now; the headset stays out of reach for its down_ms.
  o.registerMethod("DropLink").onInterface(control_iface).implementedAs([this, self] {
    if (!self->headset.connected()) return false;
    lose_link(*self, std::chrono::round<clock::duration>(
                         std::chrono::duration<double, std::milli>(self->headset.config().down_ms)));
    return true;
  });
  // ... or for `down_ms` milliseconds from now: it does not advertise, and
  // Connect fails (after the connect delay) until it is back.
  o.registerMethod("DropLinkFor").onInterface(control_iface).implementedAs([this, self](std::uint32_t down_ms) {
    if (!self->headset.connected()) return false;
    lose_link(*self, std::chrono::milliseconds(down_ms));
    return true;
  });
  // The device object disappears at once, without a Connected change (as
  // when the adapter goes away); a later discovery shows it again.
  o.registerMethod("Vanish").onInterface(control_iface).implementedAs([this, self] {
    after(std::chrono::milliseconds(0), [this, self] { vanish(*self); });
  });
  o.registerMethod("SetBattery").onInterface(control_iface).implementedAs(
      [this, self](std::uint8_t level, bool charging) {
        self->headset.set_battery(level, charging);
        pump(*self, clock::now(), 1);
      });
  // The trigger input fires now (see headset_model::trigger).
  o.registerMethod("Trigger").onInterface(control_iface).implementedAs([self] {
    const clock::time_point now = clock::now();
    if (!self->headset.trigger(now))
      throw sdbus::Error("org.calyra.Error.NotStreaming", self->headset.config().name + " is not streaming");
  });
  o.registerMethod("GetStats").onInterface(control_iface).implementedAs([self] {
    const sim::model_stats h = self->headset.stats();
    return std::make_tuple(h.connected, h.streaming, h.packets_sent, h.packets_lost,
                           h.ota_image_bytes, h.ota_completed);
  });
  // StartNotify sessions and acquired sockets.
  o.registerMethod("NotifySessions").onInterface(control_iface).implementedAs([this, self] {
    std::uint32_t count = 0;
    for (const auto& c : self->characteristics)
      count += static_cast<std::uint32_t>(c->sessions.size()) + (acquired(*c) ? 1u : 0u);
    return count;
  });
  o.registerMethod("LastConfig").onInterface(control_iface).implementedAs([self] {
    return to_bytes(self->headset.last_config());
  });
  o.registerMethod("EmissionTimes").onInterface(control_iface).implementedAs([self] {
    return std::vector<std::uint64_t>(self->emission_times.begin(), self->emission_times.end());
  });
  // `count` values of `size` bytes on stream_data, each starting with a
  // 32-bit little-endian sequence number: one every `interval_us`, or with
  // 0 as fast as the bus (or the acquired socket) takes them. Their times
  // of sending replace EmissionTimes.
  o.registerMethod("Burst").onInterface(control_iface).implementedAs(
      [self](std::uint32_t count, std::uint16_t size, std::uint32_t interval_us) {
        self->burst_left = count;
        self->burst_size = std::max<std::uint16_t>(size, 4);
        self->burst_sequence = 0;
        self->burst_interval = std::chrono::microseconds(interval_us);
        self->burst_next = clock::now();
        self->emission_times.clear();
      });
}

void fake_bluez::export_gatt(device& d) {
  // One service object per GATT service, in the order of the GATT tables.
  std::map<std::string, std::vector<role>> by_service;
  std::vector<std::string> order;
  for (std::size_t i = 0; i < core::gatt::role_count; ++i) {
    const role r = static_cast<role>(i);
    const std::string service = core::gatt::uuids(r).service;
    if (by_service.count(service) == 0) order.push_back(service);
    by_service[service].push_back(r);
  }
  unsigned handle = 0x000c;
  device* self = &d;
  for (const std::string& service_uuid : order) {
    const std::string service_path = d.path + "/service" + hex4(handle);
    auto service = sdbus::createObject(connection_, service_path);
    service->registerProperty("UUID").onInterface(service_iface).withGetter([service_uuid] { return service_uuid; });
    service->registerProperty("Device").onInterface(service_iface).withGetter([self] { return sdbus::ObjectPath(self->path); });
    service->registerProperty("Primary").onInterface(service_iface).withGetter([] { return true; });
    service->finishRegistration();
    service->emitInterfacesAddedSignal();
    d.services.push_back(std::move(service));
    ++handle;
    for (role r : by_service[service_uuid]) {
      auto c = std::make_unique<characteristic>();
      c->r = r;
      c->service_path = service_path;
      c->path = service_path + "/char" + hex4(handle);
      handle += 2;
      characteristic* ch = c.get();
      auto object = sdbus::createObject(connection_, c->path);
      const std::string uuid = core::gatt::uuids(r).characteristic;
      object->registerProperty("UUID").onInterface(characteristic_iface).withGetter([uuid] { return uuid; });
      object->registerProperty("Service").onInterface(characteristic_iface).withGetter([ch] { return sdbus::ObjectPath(ch->service_path); });
      object->registerProperty("Value").onInterface(characteristic_iface).withGetter([ch] { return ch->value; });
      object->registerProperty("Notifying").onInterface(characteristic_iface).withGetter([ch] { return ch->notifying; });
      object->registerProperty("Flags").onInterface(characteristic_iface).withGetter([r] {
        std::vector<std::string> flags{"read", "write"};
        if (sim::headset_model::can_notify(r)) flags.push_back("notify");
        return flags;
      });
      object->registerProperty("MTU").onInterface(characteristic_iface).withGetter([self] { return mtu_of(self->headset.config()); });
      object->registerMethod("ReadValue").onInterface(characteristic_iface).implementedAs(
          [this, self, ch](const std::map<std::string, sdbus::Variant>&) {
            std::string value;
            try {
              value = self->headset.read(ch->r);
            } catch (const sim::gatt_error& e) {
              const gatt_failure f = bluez_failure(e, gatt_operation::read);
              throw sdbus::Error(f.name, f.message);
            }
            // BlueZ updates the cached value, and announces it, on every read.
            emit_value(*self, *ch, value);
            return to_bytes(value);
          });
      object->registerMethod("WriteValue").onInterface(characteristic_iface).implementedAs(
          [this, self, ch](sdbus::Result<>&& result, const bytes& value,
                           const std::map<std::string, sdbus::Variant>&) {
            if (ch->write_pending) {
              result.returnError(sdbus::Error("org.bluez.Error.InProgress", "In Progress"));
              return;
            }
            const std::uint64_t starts = self->headset.stats().starts;
            try {
              self->headset.write(ch->r, std::string(value.begin(), value.end()), clock::now());
            } catch (const sim::gatt_error& e) {
              const gatt_failure f = bluez_failure(e, gatt_operation::write);
              result.returnError(sdbus::Error(f.name, f.message));
              return;
            }
            if (self->headset.stats().starts != starts) self->emission_times.clear();
            // The headset's answers go out before the write's reply.
            pump(*self, clock::now(), 64);
            ch->write_pending = true;
            auto pending = std::make_shared<sdbus::Result<>>(std::move(result));
            after(options_.write_reply_delay, [ch, pending] {
              ch->write_pending = false;
              pending->returnResults();
            });
          });
      object->registerProperty("NotifyAcquired").onInterface(characteristic_iface).withGetter([ch] {
        return ch->acquired_fd >= 0;
      });
      object->registerMethod("AcquireNotify").onInterface(characteristic_iface).implementedAs([this, self, ch](const std::map<std::string, sdbus::Variant>&) {
            std::uint16_t mtu = 0;
            sdbus::UnixFd fd = acquire_notify(*self, *ch, mtu);
            return std::make_tuple(std::move(fd), mtu);
          });
      object->registerMethod("StartNotify").onInterface(characteristic_iface).implementedAs([this, self, ch] {
        if (!sim::headset_model::can_notify(ch->r))
          throw sdbus::Error("org.bluez.Error.NotSupported", "Operation is not supported");
        if (acquired(*ch)) throw sdbus::Error("org.bluez.Error.NotPermitted", "Notify acquired");
        // Answers success without a link: the session starts with the next one.
        if (!ch->sessions.insert(current_sender(*ch->object)).second)
          throw sdbus::Error("org.bluez.Error.InProgress", "Operation already in progress");
        update_notifying(*self, *ch);
      });
      object->registerMethod("StopNotify").onInterface(characteristic_iface).implementedAs([this, self, ch] {
        if (ch->sessions.erase(current_sender(*ch->object)) == 0)
          throw sdbus::Error("org.bluez.Error.Failed", "No notify session started");
        update_notifying(*self, *ch);
      });
      object->finishRegistration();
      object->emitInterfacesAddedSignal();
      c->object = std::move(object);
      d.characteristics.push_back(std::move(c));
    }
  }
}

void fake_bluez::connect(device& d, sdbus::Result<>&& reply) {
  if (!adapter_of(d).powered) {
    reply.returnError(not_ready());
    return;
  }
  // The link is the device's, not the caller's: a connected LE device
  // answers success to every client.
  if (d.headset.connected()) {
    reply.returnResults();
    return;
  }
  if (d.connecting) {
    reply.returnError(sdbus::Error("org.bluez.Error.InProgress", "In Progress"));
    return;
  }
  if (options_.connect_delay.count() == 0) {
    if (link_up(d))
      reply.returnResults();
    else
      reply.returnError(out_of_reach());
    return;
  }
  d.connecting = true;
  auto pending = std::make_shared<sdbus::Result<>>(std::move(reply));
  device* self = &d;
  after(options_.connect_delay, [this, self, pending] {
    self->connecting = false;
    if (!self->object) {
      pending->returnError(sdbus::Error("org.bluez.Error.Failed", "Device vanished"));
      return;
    }
    if (link_up(*self))
      pending->returnResults();
    else
      pending->returnError(out_of_reach());
  });
}

bool fake_bluez::link_up(device& d) {
  if (!d.headset.connect(clock::now())) return false;
  emit_changed(*d.object, device_iface, {{"Connected", sdbus::Variant(true)}});
  if (d.characteristics.empty()) export_gatt(d);
  // The reply goes out now; service discovery "finishes" a little later.
  device* self = &d;
  after(options_.resolve_delay, [self] {
    if (!self->headset.connected() || self->services_resolved) return;
    self->services_resolved = true;
    emit_changed(*self->object, device_iface, {{"ServicesResolved", sdbus::Variant(true)}});
  });
  return true;
}

sdbus::UnixFd fake_bluez::acquire_notify(device& d, characteristic& c, std::uint16_t& mtu) {
  if (!options_.acquire_notify || !sim::headset_model::can_notify(c.r))
    throw sdbus::Error("org.bluez.Error.NotSupported", "Operation is not supported");
  if (acquired(c)) throw sdbus::Error("org.bluez.Error.NotPermitted", "Notify acquired");
  if (!c.sessions.empty()) throw sdbus::Error("org.bluez.Error.InProgress", "In Progress");
  if (!d.headset.connected()) throw sdbus::Error("org.bluez.Error.NotConnected", "Not Connected");
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
    throw sdbus::Error("org.bluez.Error.Failed", std::strerror(errno));
  c.acquired_fd = pair[0];
  c.acquirer = current_sender(*c.object);
  mtu = mtu_of(d.headset.config());
  update_notifying(d, c);
  emit_changed(*c.object, characteristic_iface, {{"NotifyAcquired", sdbus::Variant(true)}});
  return sdbus::UnixFd(pair[1], sdbus::adopt_fd);
}

bool fake_bluez::acquired(characteristic& c) {
  if (c.acquired_fd < 0) return false;
  // The client closing its end releases the characteristic.
  pollfd p{c.acquired_fd, 0, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
    release(c);
    return false;
  }
  return true;
}

void fake_bluez::release(characteristic& c) {
  if (c.acquired_fd < 0) return;
  ::close(c.acquired_fd);
  c.acquired_fd = -1;
  c.acquirer.clear();
  if (c.object) emit_changed(*c.object, characteristic_iface, {{"NotifyAcquired", sdbus::Variant(false)}});
}

void fake_bluez::disconnect(device& d) {
  if (!d.headset.connected()) return;
  d.headset.disconnect();
  announce_link_down(d);
}

// A requested and a lost link look the same to BlueZ's clients.
void fake_bluez::lose_link(device& d, clock::duration down) {
  if (!d.headset.connected()) return;
  d.headset.lose_link(clock::now(), down);
  announce_link_down(d);
}

void fake_bluez::announce_link_down(device& d) {
  d.services_resolved = false;
  d.burst_left = 0;
  // An acquired socket closes with the link.
  for (auto& c : d.characteristics) {
    if (c->acquired_fd < 0) continue;
    release(*c);
    update_notifying(d, *c);
  }
  emit_changed(*d.object, device_iface,
               {{"ServicesResolved", sdbus::Variant(false)}, {"Connected", sdbus::Variant(false)}});
}

void fake_bluez::vanish(device& d) {
  if (!d.object) return;
  d.headset.disconnect();
  d.services_resolved = false;
  d.burst_left = 0;
  for (auto& c : d.characteristics) {
    release(*c);
    c->object->emitInterfacesRemovedSignal();
    if (c->write_pending) orphans_.push_back(std::move(c));  // its reply is still due
  }
  d.characteristics.clear();
  for (auto& service : d.services) service->emitInterfacesRemovedSignal();
  d.services.clear();
  d.object->emitInterfacesRemovedSignal();
  d.object.reset();
}

void fake_bluez::update_notifying(device& d, characteristic& c) {
  const bool on = !c.sessions.empty() || c.acquired_fd >= 0;
  if (on == c.notifying) return;
  c.notifying = on;
  d.headset.set_notifying(c.r, on, clock::now());
  emit_changed(*c.object, characteristic_iface, {{"Notifying", sdbus::Variant(on)}});
}

fake_bluez::characteristic& fake_bluez::find(device& d, role r) {
  for (auto& c : d.characteristics)
    if (c->r == r) return *c;
  throw std::logic_error("no characteristic for a role");
}

void fake_bluez::emit_value(device& d, characteristic& c, const std::string& value) {
  (void)d;
  c.value = to_bytes(value);
  emit_changed(*c.object, characteristic_iface, {{"Value", sdbus::Variant(c.value)}});
}

bool fake_bluez::deliver(device& d, const sim::notification& n) {
  // The headset decides what it sends (the last packet before a drop_after
  // loss included); without the GATT objects nothing can carry it.
  if (d.characteristics.empty()) return true;
  characteristic& c = find(d, n.role);
  // The remote cuts what does not fit one ATT notification.
  const std::size_t fits = std::size_t{mtu_of(d.headset.config())} - 3;
  const std::string payload = n.payload.substr(0, fits);
  if (c.acquired_fd >= 0) {
    if (::send(c.acquired_fd, payload.data(), payload.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    release(c);  // the client closed its end
    update_notifying(d, c);
    return true;
  }
  if (c.sessions.empty()) return true;
  emit_value(d, c, payload);
  return true;
}

std::optional<clock::time_point> fake_bluez::next_deadline() const {
  std::optional<clock::time_point> next;
  const auto earlier = [&](clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  if (!timers_.empty()) earlier(timers_.begin()->first);
  for (const auto& d : devices_) {
    if (auto due = d->headset.next_due_time()) earlier(*due);
    if (d->burst_left > 0) earlier(d->burst_next);
  }
  return next;
}

void fake_bluez::run_due(clock::time_point now, bool may_stream) {
  while (!timers_.empty() && timers_.begin()->first <= now) {
    auto action = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    action();
  }
  if (!may_stream) return;
  for (auto& d : devices_) {
    // A bounded batch per turn keeps method calls answered during a stream.
    for (int budget = 64; budget > 0 && d->burst_left > 0 && d->burst_next <= now; --budget) {
      std::string value(d->burst_size, '\0');
      for (int i = 0; i < 4; ++i) value[static_cast<std::size_t>(i)] = static_cast<char>(d->burst_sequence >> (8 * i));
      const std::uint64_t sent_at = monotonic_ns(clock::now());
      if (!deliver(*d, {role::stream_data, value})) break;  // the socket is full: next turn
      ++d->burst_sequence;
      --d->burst_left;
      d->emission_times.push_back(sent_at);
      if (d->emission_times.size() > emission_log_size) d->emission_times.pop_front();
      d->burst_next += d->burst_interval;
    }
    pump(*d, now, 64);
  }
}

void fake_bluez::pump(device& d, clock::time_point now, int budget) {
  sim::headset_model::output out = d.headset.due_notifications(now, static_cast<std::size_t>(budget));
  for (const sim::notification& n : out.notifications) {
    deliver(d, n);
    if (n.role != role::stream_data) continue;
    d.emission_times.push_back(monotonic_ns(clock::now()));
    if (d.emission_times.size() > emission_log_size) d.emission_times.pop_front();
  }
  if (out.link_lost) announce_link_down(d);
}

}  // namespace calyra::fake_bluez
