#include "ble/bluez/object_mirror.h"

#include <algorithm>
#include <cctype>

namespace calyra::core::ble::bluez {
namespace {

template <class T>
void take(const property_set& from, const char* key, T& into) {
  const auto it = from.find(key);
  if (it == from.end()) return;
  if (const T* value = std::get_if<T>(&it->second)) into = *value;
}

void apply(adapter_record& a, const property_set& p) {
  take(p, "Address", a.address);
  take(p, "Powered", a.powered);
}

void apply(device_record& d, const property_set& p) {
  take(p, "Adapter", d.adapter);
  take(p, "Address", d.address);
  if (const auto it = p.find("Name"); it != p.end())
    if (const auto* name = std::get_if<std::string>(&it->second)) d.name = *name;
  take(p, "Paired", d.paired);
  take(p, "Connected", d.connected);
  take(p, "ServicesResolved", d.services_resolved);
}

void apply(service_record& s, const property_set& p) {
  take(p, "Device", s.device);
  take(p, "UUID", s.uuid);
  s.uuid = to_lower(s.uuid);
}

void apply(characteristic_record& c, const property_set& p) {
  take(p, "Service", c.service);
  take(p, "UUID", c.uuid);
  c.uuid = to_lower(c.uuid);
}

}  // namespace

std::string to_lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

void object_mirror::clear() {
  adapters_.clear();
  devices_.clear();
  services_.clear();
  characteristics_.clear();
}

void object_mirror::add_interface(const std::string& path, const std::string& interface,
                                  const property_set& properties) {
  if (interface == adapter_interface)
    apply(adapters_[path], properties);
  else if (interface == device_interface)
    apply(devices_[path], properties);
  else if (interface == service_interface)
    apply(services_[path], properties);
  else if (interface == characteristic_interface)
    apply(characteristics_[path], properties);
}

void object_mirror::remove_interface(const std::string& path, const std::string& interface) {
  if (interface == adapter_interface)
    adapters_.erase(path);
  else if (interface == device_interface)
    devices_.erase(path);
  else if (interface == service_interface)
    services_.erase(path);
  else if (interface == characteristic_interface)
    characteristics_.erase(path);
}

void object_mirror::change_properties(const std::string& path, const std::string& interface,
                                      const property_set& changed,
                                      const std::vector<std::string>& invalidated) {
  if (interface == adapter_interface) {
    if (auto it = adapters_.find(path); it != adapters_.end()) apply(it->second, changed);
  } else if (interface == device_interface) {
    auto it = devices_.find(path);
    if (it == devices_.end()) return;
    apply(it->second, changed);
    for (const std::string& name : invalidated)
      if (name == "Name") it->second.name.reset();
  }
}

const device_record* object_mirror::device(const std::string& path) const {
  const auto it = devices_.find(path);
  return it == devices_.end() ? nullptr : &it->second;
}

std::optional<std::string> object_mirror::find_characteristic(
    const std::string& device, const std::string& service_uuid,
    const std::string& characteristic_uuid) const {
  const std::string wanted_service = to_lower(service_uuid);
  const std::string wanted_characteristic = to_lower(characteristic_uuid);
  for (const auto& [path, c] : characteristics_) {
    if (c.uuid != wanted_characteristic) continue;
    const auto s = services_.find(c.service);
    if (s != services_.end() && s->second.device == device && s->second.uuid == wanted_service)
      return path;
  }
  return std::nullopt;
}

std::optional<std::string> object_mirror::device_of_characteristic(const std::string& path) const {
  const auto c = characteristics_.find(path);
  if (c == characteristics_.end()) return std::nullopt;
  const auto s = services_.find(c->second.service);
  if (s == services_.end()) return std::nullopt;
  return s->second.device;
}

std::optional<std::string> object_mirror::any_characteristic(const std::string& device) const {
  for (const auto& [path, c] : characteristics_) {
    const auto s = services_.find(c.service);
    if (s != services_.end() && s->second.device == device) return path;
  }
  return std::nullopt;
}

}  // namespace calyra::core::ble::bluez
