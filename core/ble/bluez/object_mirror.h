// What the backend knows of BlueZ's object tree, in plain values. It is kept
// up to date from InterfacesAdded / InterfacesRemoved / PropertiesChanged and
// refetched whole when bluetoothd (re)appears. No D-Bus type lives here: a
// D-Bus value that outlives main() crashes the process at exit.
//
// Not thread-safe; the bus client guards it with its mutex.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace calyra::core::ble::bluez {

inline constexpr const char* adapter_interface = "org.bluez.Adapter1";
inline constexpr const char* device_interface = "org.bluez.Device1";
inline constexpr const char* service_interface = "org.bluez.GattService1";
inline constexpr const char* characteristic_interface = "org.bluez.GattCharacteristic1";

// The property types the mirror keeps: b, n/q/y (as integers), s/o.
using property_value = std::variant<bool, std::int64_t, std::string>;
using property_set = std::map<std::string, property_value>;

struct adapter_record {
  std::string address;
  bool powered = false;
};

struct device_record {
  std::string adapter;  // object path
  std::string address;
  std::optional<std::string> name;  // BlueZ omits it for devices that sent none
  bool paired = false;
  bool connected = false;
  bool services_resolved = false;
};

struct service_record {
  std::string device;  // object path
  std::string uuid;    // lower case
};

struct characteristic_record {
  std::string service;  // object path
  std::string uuid;     // lower case
};

class object_mirror {
 public:
  void clear();

  // One interface of an object appeared, with all its properties.
  void add_interface(const std::string& path, const std::string& interface,
                     const property_set& properties);
  void remove_interface(const std::string& path, const std::string& interface);
  // Changed and invalidated properties of an interface the mirror tracks.
  void change_properties(const std::string& path, const std::string& interface,
                         const property_set& changed, const std::vector<std::string>& invalidated);

  const std::map<std::string, adapter_record>& adapters() const { return adapters_; }
  const std::map<std::string, device_record>& devices() const { return devices_; }
  const device_record* device(const std::string& path) const;

  // The characteristic of that service and characteristic UUID under the
  // device (UUIDs compared without regard to case).
  std::optional<std::string> find_characteristic(const std::string& device,
                                                 const std::string& service_uuid,
                                                 const std::string& characteristic_uuid) const;
  // The device a characteristic belongs to, if both are known.
  std::optional<std::string> device_of_characteristic(const std::string& path) const;
  // Any characteristic of the device (to read the ATT MTU from).
  std::optional<std::string> any_characteristic(const std::string& device) const;

 private:
  std::map<std::string, adapter_record> adapters_;
  std::map<std::string, device_record> devices_;
  std::map<std::string, service_record> services_;
  std::map<std::string, characteristic_record> characteristics_;
};

std::string to_lower(std::string text);

}  // namespace calyra::core::ble::bluez
