#include "ble/bluez/bluez_backend.h"

#include <sdbus-c++/Error.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "ble/ble_error.h"
#include "ble/bluez/bluez_peripheral.h"
#include "ble/bluez/bus_client.h"
#include "ble/bluez/dbus_errors.h"
#include "runtime/logger.h"

namespace calyra::core::ble::bluez {
namespace {

using namespace std::chrono_literals;

std::string last_element(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Adapters in the order of their numbers (hci2 before hci10); names of
// another form after them, by name.
bool before(const std::string& a_path, const std::string& b_path) {
  const auto number = [](const std::string& name) -> unsigned long {
    if (name.size() <= 3 || name.compare(0, 3, "hci") != 0 ||
        name.find_first_not_of("0123456789", 3) != std::string::npos || name.size() > 12)
      return static_cast<unsigned long>(-1);
    return std::stoul(name.substr(3));
  };
  const std::string a = last_element(a_path), b = last_element(b_path);
  const unsigned long na = number(a), nb = number(b);
  return na != nb ? na < nb : a < b;
}

std::string off_text(const std::string& adapter) { return "Bluetooth adapter " + adapter + " is off"; }

// Hands out one peripheral object per device, so that every scan and every
// paired list returns the same handle for the same device.
class peripheral_registry {
 public:
  explicit peripheral_registry(std::shared_ptr<bus_client> client) : client_(std::move(client)) {}

  std::shared_ptr<bluez_peripheral> get(const std::string& path) {
    std::lock_guard lock(mutex_);
    // Entries of released peripherals go, so rotating addresses do not pile up.
    std::erase_if(peripherals_, [](const auto& entry) { return entry.second.expired(); });
    auto& slot = peripherals_[path];
    auto existing = slot.lock();
    if (existing) return existing;
    auto created = std::make_shared<bluez_peripheral>(client_, path);
    slot = created;
    return created;
  }

  bus_client& client() { return *client_; }

 private:
  std::shared_ptr<bus_client> client_;
  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<bluez_peripheral>> peripherals_;
};

class bluez_adapter final : public AdapterBackend {
 public:
  bluez_adapter(std::shared_ptr<peripheral_registry> registry, std::string path)
      : registry_(std::move(registry)), path_(std::move(path)) {}

  std::string identifier() override { return last_element(path_); }

  std::string address() override {
    const auto adapters = registry_->client().adapters();
    const auto it = adapters.find(path_);
    return it == adapters.end() ? std::string() : it->second.address;
  }

  bool powered() override {
    const auto adapters = registry_->client().adapters();
    const auto it = adapters.find(path_);
    return it != adapters.end() && it->second.powered;
  }

  void scan_for(int timeout_ms) override {
    bus_client& client = registry_->client();
    if (!powered()) throw adapter_off_error(off_text(identifier()));
    // Device objects outlive scans and StopDiscovery clears RSSI, so what
    // this scan saw is collected while it runs.
    client.begin_scan(path_);
    try {
      client.start_discovery_filter(path_);
      try {
        client.call_void(path_, adapter_interface, "StartDiscovery", 5s);
      } catch (const sdbus::Error& e) {
        if (!is_in_progress(e)) throw;
      }
    } catch (const sdbus::Error& e) {
      {
        std::lock_guard lock(mutex_);
        last_seen_ = client.end_scan();
      }
      if (is_not_ready(e)) throw adapter_off_error(off_text(identifier()));
      throw_ble_error("scan on " + identifier(), e);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, timeout_ms)));
    try {
      client.call_void(path_, adapter_interface, "StopDiscovery", 5s);
    } catch (const sdbus::Error& e) {
      if (!is_no_discovery_started(e) && !is_in_progress(e)) {
        logger::log(log_level::WARNING, [&](std::ostream& out) {
          out << "BlueZ: stopping the scan on " << identifier() << ": " << e.getName() << ": "
              << e.getMessage();
        });
      }
    }
    std::lock_guard lock(mutex_);
    last_seen_ = client.end_scan();
  }

  std::vector<std::shared_ptr<PeripheralBackend>> scan_get_results() override {
    std::set<std::string> seen;
    {
      std::lock_guard lock(mutex_);
      seen = last_seen_;
    }
    return devices_where([&](const std::string& path, const device_record&) {
      return seen.count(path) != 0;
    });
  }

  std::vector<std::shared_ptr<PeripheralBackend>> get_paired_peripherals() override {
    return devices_where([](const std::string&, const device_record& d) { return d.paired; });
  }

 private:
  template <class Predicate>
  std::vector<std::shared_ptr<PeripheralBackend>> devices_where(Predicate wanted) {
    std::vector<std::string> paths;
    for (const auto& [path, device] : registry_->client().devices())
      if (device.adapter == path_ && wanted(path, device)) paths.push_back(path);
    std::vector<std::shared_ptr<PeripheralBackend>> out;
    for (const std::string& path : paths) out.push_back(registry_->get(path));
    return out;
  }

  std::shared_ptr<peripheral_registry> registry_;
  std::string path_;
  std::mutex mutex_;
  std::set<std::string> last_seen_;
};

class bluez_backend final : public Backend {
 public:
  // `chosen`: the one adapter to offer (CYCORE_BLE_ADAPTER), or empty for all.
  bluez_backend(std::shared_ptr<bus_client> client, std::string chosen)
      : client_(client),
        registry_(std::make_shared<peripheral_registry>(std::move(client))),
        chosen_(std::move(chosen)) {}

  std::string name() const override { return "bluez"; }

  // Bluetooth is on when an adapter on offer is; org.bluez absent means off.
  bool bluetooth_enabled() override {
    for (const auto& [path, adapter] : client_->adapters())
      if (offered(path) && adapter.powered) return true;
    return false;
  }

  std::vector<std::shared_ptr<AdapterBackend>> get_adapters() override {
    std::vector<std::string> paths;
    for (const auto& [path, adapter] : client_->adapters())
      if (offered(path)) paths.push_back(path);
    std::sort(paths.begin(), paths.end(), before);
    if (paths.empty() && !chosen_.empty()) {
      logger::log(log_level::WARNING, [&](std::ostream& out) {
        out << "BlueZ: CYCORE_BLE_ADAPTER names " << chosen_ << ", which BlueZ does not show";
      });
    }
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<AdapterBackend>> out;
    for (const std::string& path : paths) {
      auto& adapter = adapters_[path];
      if (!adapter) adapter = std::make_shared<bluez_adapter>(registry_, path);
      out.push_back(adapter);
    }
    return out;
  }

 private:
  bool offered(const std::string& path) const { return chosen_.empty() || last_element(path) == chosen_; }

  std::shared_ptr<bus_client> client_;
  std::shared_ptr<peripheral_registry> registry_;
  const std::string chosen_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<AdapterBackend>> adapters_;
};

}  // namespace

std::shared_ptr<Backend> create_backend(bool require_daemon, std::string* why_not) {
  std::shared_ptr<bus_client> client;
  try {
    client = bus_client::open();
  } catch (const sdbus::Error& e) {
    if (why_not) *why_not = "no system bus: " + e.getName() + ": " + e.getMessage();
    return nullptr;
  }
  if (require_daemon && !client->bluez_present()) {
    if (why_not) *why_not = "org.bluez does not answer on the system bus";
    return nullptr;
  }
  const char* chosen = std::getenv("CYCORE_BLE_ADAPTER");
  return std::make_shared<bluez_backend>(std::move(client), chosen ? chosen : "");
}

}  // namespace calyra::core::ble::bluez
