// The one place BLE backends are created and swapped.
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "ble/backend.h"
#include "ble/bluez/bluez_backend.h"
#include "ble/virtual/virtual_backend.h"
#include "runtime/logger.h"

namespace calyra::core::ble {

// Where a BlueZ backend still in use at exit is kept (see below). A plain
// pointer with external linkage: static destruction leaves it alone, and
// leak checkers see the backend as still reachable.
std::shared_ptr<Backend>* backend_left_at_exit = nullptr;

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

// A D-Bus object destroyed during static destruction crashes the process. A
// host that exits without cy_core_close would destroy the BlueZ backend
// there, so it is left to the operating system instead. Constructed after
// `backend`, so destroyed before it.
struct leave_bus_backends_at_exit {
  ~leave_bus_backends_at_exit() {
    std::lock_guard lock(backend_mutex);
    if (backend && backend->name() == "bluez")
      backend_left_at_exit = new std::shared_ptr<Backend>(std::move(backend));
  }
} leave_at_exit;

void log_choice(const std::string& name, const std::string& why) {
  logger::log(log_level::INFO, [&](std::ostream& out) {
    out << "BLE backend: " << name << " (" << why << ")";
  });
}

std::shared_ptr<Backend> none() { return std::make_shared<no_adapter_backend>(); }

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
  if (virtual_ble::configured_from_code()) {
    set_backend(virtual_ble::create_backend());
    log_choice("virtual", "configured with cy_virtual_configure");
    return;
  }
  if (name == "virtual") {
    set_backend(virtual_ble::create_backend());
    log_choice("virtual", "CYCORE_BLE_BACKEND");
    return;
  }
  if (name == "none") {
    set_backend(none());
    log_choice("none", "CYCORE_BLE_BACKEND");
    return;
  }
  if (name == "bluez") {
    // Chosen explicitly: used even while bluetoothd is away, since it
    // notices the daemon coming back.
    if (auto bluez_backend = bluez::create_backend(false, nullptr)) {
      set_backend(std::move(bluez_backend));
      log_choice("bluez", "CYCORE_BLE_BACKEND");
    } else {
      set_backend(none());
      logger::log_text(log_level::ERROR,
                       "CYCORE_BLE_BACKEND is bluez but there is no system bus; no adapter is offered");
    }
    return;
  }
  if (!name.empty()) {
    logger::log(log_level::ERROR, [&name](std::ostream& out) {
      out << "Unknown BLE backend \"" << name
          << "\" in CYCORE_BLE_BACKEND (available: bluez, virtual, none); no adapter is offered";
    });
    set_backend(none());
    return;
  }
  set_backend(nullptr);  // an earlier BlueZ connection is closed before probing again
  std::string why_not;
  if (auto bluez_backend = bluez::create_backend(true, &why_not)) {
    set_backend(std::move(bluez_backend));
    log_choice("bluez", "org.bluez answers on the system bus");
    return;
  }
  log_choice("none", why_not);
}

void release_backend() {
  // The virtual headsets configured from code outlive init and close.
  std::shared_ptr<Backend> previous;
  std::lock_guard lock(backend_mutex);
  if (backend && backend->name() != "virtual") previous = std::exchange(backend, none());
}

}  // namespace calyra::core::ble
