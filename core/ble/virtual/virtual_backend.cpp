#include "ble/virtual/virtual_backend.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "runtime/logger.h"

namespace calyra::core::ble::virtual_ble {
namespace {

class virtual_adapter final : public AdapterBackend {
 public:
  explicit virtual_adapter(device_list devices) : devices_(std::move(devices)) {}

  std::string identifier() override { return "virtual0"; }
  std::string address() override { return "00:00:00:00:00:00"; }

  void scan_for(int timeout_ms) override {
    const double ms = std::max(0, timeout_ms) * scan_scale();
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
    scanned_.store(true);
  }

  // Before the first scan nothing has been seen.
  std::vector<std::shared_ptr<PeripheralBackend>> scan_get_results() override {
    std::vector<std::shared_ptr<PeripheralBackend>> out;
    if (!scanned_.load()) return out;
    for (const auto& device : devices_)
      if (device->link().seen_by_scan()) out.push_back(device);
    return out;
  }

  std::vector<std::shared_ptr<PeripheralBackend>> get_paired_peripherals() override {
    std::vector<std::shared_ptr<PeripheralBackend>> out;
    for (const auto& device : devices_)
      if (device->link().config().paired) out.push_back(device);
    return out;
  }

 private:
  device_list devices_;
  std::atomic<bool> scanned_{false};
};

std::mutex settings_mutex;
std::optional<std::string> code_device_list;
std::optional<double> code_scan_scale;
double environment_scan_scale = 1.0;

double read_environment_scale() {
  const char* text = std::getenv("CYCORE_VIRTUAL_SCAN_SCALE");
  if (text == nullptr || *text == '\0') return 1.0;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (*end != '\0' || !valid_scan_scale(value)) {
    logger::log(log_level::ERROR, [text](std::ostream& out) {
      out << "CYCORE_VIRTUAL_SCAN_SCALE must be a number from 0 to 1, not \"" << text
          << "\"; scans keep their full duration";
    });
    return 1.0;
  }
  return value;
}

}  // namespace

virtual_backend::virtual_backend(const std::vector<device_config>& devices) {
  for (const device_config& config : devices)
    devices_.push_back(std::make_shared<virtual_peripheral>(config));
  adapter_ = std::make_shared<virtual_adapter>(devices_);
}

std::vector<std::shared_ptr<AdapterBackend>> virtual_backend::get_adapters() { return {adapter_}; }

std::shared_ptr<virtual_peripheral> virtual_backend::find(std::string_view name) const {
  for (const auto& device : devices_)
    if (device->link().config().name == name) return device;
  return nullptr;
}

bool valid_scan_scale(double scale) { return std::isfinite(scale) && scale >= 0.0 && scale <= 1.0; }

double scan_scale() {
  std::lock_guard lock(settings_mutex);
  return code_scan_scale.value_or(environment_scan_scale);
}

void set_scan_scale_from_code(std::optional<double> scale) {
  std::lock_guard lock(settings_mutex);
  code_scan_scale = scale;
}

void set_device_list_from_code(std::optional<std::string> list) {
  std::lock_guard lock(settings_mutex);
  code_device_list = std::move(list);
}

bool configured_from_code() {
  std::lock_guard lock(settings_mutex);
  return code_device_list.has_value();
}

std::shared_ptr<virtual_backend> create_backend() {
  std::optional<std::string> list;
  {
    const double env_scale = read_environment_scale();
    std::lock_guard lock(settings_mutex);
    environment_scan_scale = env_scale;
    list = code_device_list;
  }
  const char* source = list ? "cy_virtual_configure" : "CYCORE_VIRTUAL_DEVICES";
  if (!list) {
    const char* text = std::getenv("CYCORE_VIRTUAL_DEVICES");
    if (text != nullptr) list = text;
  }
  std::vector<device_config> devices;
  try {
    devices = list && !list->empty() ? parse_device_list(*list) : default_devices();
  } catch (const device_list_error& e) {
    logger::log(log_level::ERROR, [&](std::ostream& out) {
      out << "Virtual headsets: " << source << ": " << e.what() << "; no virtual device is offered";
    });
    devices.clear();
  }
  return std::make_shared<virtual_backend>(devices);
}

}  // namespace calyra::core::ble::virtual_ble
