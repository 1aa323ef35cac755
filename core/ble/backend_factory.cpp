// The one place BLE backends are created and swapped.
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "ble/backend.h"
#include "ble/virtual/virtual_backend.h"
#include "runtime/logger.h"

namespace calyra::core::ble {
namespace {

// The platform backend while no real one exists: Bluetooth reports on, but
// there is no adapter, so scan and connect fail through their normal
// ADAPTER_NOT_FOUND paths.
class no_adapter_backend final : public Backend {
 public:
  std::string name() const override { return "none"; }
  bool bluetooth_enabled() override { return true; }
  std::vector<std::shared_ptr<AdapterBackend>> get_adapters() override { return {}; }
};

std::mutex backend_mutex;
std::shared_ptr<Backend> backend;

}  // namespace

std::shared_ptr<Backend> current_backend() {
  std::lock_guard lock(backend_mutex);
  if (!backend) backend = std::make_shared<no_adapter_backend>();
  return backend;
}

void set_backend(std::shared_ptr<Backend> replacement) {
  std::shared_ptr<Backend> previous;  // released outside the lock: it may join threads
  std::lock_guard lock(backend_mutex);
  previous = std::exchange(backend, replacement ? std::move(replacement)
                                                : std::make_shared<no_adapter_backend>());
}

void select_backend_from_environment() {
  const char* requested = std::getenv("CYCORE_BLE_BACKEND");
  const std::string name = requested ? requested : "";
  if (virtual_ble::configured_from_code() || name == "virtual") {
    set_backend(virtual_ble::create_backend());
    return;
  }
  if (!name.empty()) {
    logger::log(log_level::ERROR, [&name](std::ostream& out) {
      out << "Unknown BLE backend \"" << name
          << "\" in CYCORE_BLE_BACKEND (available: virtual); no adapter is offered";
    });
  }
  set_backend(std::make_shared<no_adapter_backend>());
}

}  // namespace calyra::core::ble
