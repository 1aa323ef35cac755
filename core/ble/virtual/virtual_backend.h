// The virtual backend: one adapter that "sees" the configured virtual
// headsets. Devices are created with the backend and live as long as it (or a
// handle to them) does; every scan returns the same peripheral objects.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ble/backend.h"
#include "simulator/device_config.h"
#include "ble/virtual/virtual_peripheral.h"

namespace calyra::core::ble::virtual_ble {

using device_list = std::vector<std::shared_ptr<virtual_peripheral>>;

class virtual_backend final : public Backend {
 public:
  explicit virtual_backend(const std::vector<device_config>& devices);

  std::string name() const override { return "virtual"; }
  bool bluetooth_enabled() override { return true; }
  std::vector<std::shared_ptr<AdapterBackend>> get_adapters() override;

  // The first device with this name, or null.
  std::shared_ptr<virtual_peripheral> find(std::string_view name) const;
  const device_list& devices() const { return devices_; }

 private:
  device_list devices_;
  std::shared_ptr<AdapterBackend> adapter_;
};

// Scan durations are multiplied by this factor: the value given to
// cy_virtual_set_scan_scale, else CYCORE_VIRTUAL_SCAN_SCALE as read when the
// backend was last created, else 1.
double scan_scale();
// nullopt returns to the environment's value.
void set_scan_scale_from_code(std::optional<double> scale);
bool valid_scan_scale(double scale);

// A device list set from code (cy_virtual_configure) takes precedence over
// the environment at every backend selection until it is cleared.
void set_device_list_from_code(std::optional<std::string> list);
bool configured_from_code();

// Builds the backend from the code settings or CYCORE_VIRTUAL_DEVICES (unset
// or empty: the six default headsets). A malformed list is logged at ERROR
// and gives a backend without devices.
std::shared_ptr<virtual_backend> create_backend();

// The backend in use if it is the virtual one, else null (the factory's).
using ble::current_virtual_backend;

}  // namespace calyra::core::ble::virtual_ble
