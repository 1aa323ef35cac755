// The one place BLE backends are created and swapped (backend_choice.h).
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "backend_choice/backend_choice.h"
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
std::shared_ptr<Backend> backend;               // guard: backend_mutex
backend_kind kind = backend_kind::none;         // guard: backend_mutex
// reselect_backend_from_environment() left the choice to the system bus: the
// next current_backend() makes it.
bool choice_pending = false;                    // guard: backend_mutex
// Counts installations, so that a bus choice made without the lock is
// dropped when another backend was installed meanwhile.
std::uint64_t generation = 0;                   // guard: backend_mutex

// A D-Bus object destroyed during static destruction crashes the process. A
// host that exits without cy_core_close would destroy the BlueZ backend
// there, so it is left to the operating system instead. Constructed after
// `backend`, so destroyed before it.
struct leave_bus_backends_at_exit {
  ~leave_bus_backends_at_exit() {
    std::lock_guard lock(backend_mutex);
    if (backend && kind == backend_kind::bluez)
      backend_left_at_exit = new std::shared_ptr<Backend>(std::move(backend));
  }
} leave_at_exit;

void log_choice(const std::string& name, const std::string& why) {
  logger::log(log_level::INFO, [&](std::ostream& out) {
    out << "BLE backend: " << name << " (" << why << ")";
  });
}

std::shared_ptr<Backend> none() { return std::make_shared<no_adapter_backend>(); }

// Installs `replacement` (null: none) and returns the generation it got.
std::uint64_t install(std::shared_ptr<Backend> replacement, backend_kind replacement_kind,
                      bool pending = false) {
  if (!replacement) {
    replacement = none();
    replacement_kind = backend_kind::none;
  }
  std::shared_ptr<Backend> previous;  // released outside the lock: it may join threads
  std::lock_guard lock(backend_mutex);
  previous = std::exchange(backend, std::move(replacement));
  kind = replacement_kind;
  choice_pending = pending;
  return ++generation;
}

// The choices that need no bus: code configuration, virtual, none, an
// unknown name. Installs and logs one, or returns false for bluez and unset.
bool choose_without_bus() {
  const char* requested = std::getenv("CYCORE_BLE_BACKEND");
  const std::string name = requested ? requested : "";
  if (virtual_ble::configured_from_code()) {
    install(virtual_ble::create_backend(), backend_kind::virtual_headsets);
    log_choice("virtual", "configured with cy_virtual_configure");
    return true;
  }
  if (name == "virtual") {
    install(virtual_ble::create_backend(), backend_kind::virtual_headsets);
    log_choice("virtual", "CYCORE_BLE_BACKEND");
    return true;
  }
  if (name == "none") {
    install(nullptr, backend_kind::none);
    log_choice("none", "CYCORE_BLE_BACKEND");
    return true;
  }
  if (!name.empty() && name != "bluez") {
    logger::log(log_level::ERROR, [&name](std::ostream& out) {
      out << "Unknown BLE backend \"" << name
          << "\" in CYCORE_BLE_BACKEND (available: bluez, virtual, none); no adapter is offered";
    });
    install(nullptr, backend_kind::none);
    return true;
  }
  return false;
}

// Makes the bluez-or-unset choice through the system bus and installs it,
// unless another backend was installed since generation `expected`.
void choose_on_the_bus(std::uint64_t expected) {
  const char* requested = std::getenv("CYCORE_BLE_BACKEND");
  const bool explicit_bluez = requested != nullptr && std::string(requested) == "bluez";
  std::string why_not;
  // Chosen explicitly, BlueZ is used even while bluetoothd is away, since it
  // notices the daemon coming back.
  std::shared_ptr<Backend> chosen = bluez::create_backend(!explicit_bluez, &why_not);
  {
    std::shared_ptr<Backend> unused;  // released outside the lock
    std::lock_guard lock(backend_mutex);
    if (generation != expected) {
      unused = std::move(chosen);
      return;
    }
  }
  const bool found = chosen != nullptr;
  install(std::move(chosen), found ? backend_kind::bluez : backend_kind::none);
  if (found) {
    log_choice("bluez", explicit_bluez ? "CYCORE_BLE_BACKEND" : "org.bluez answers on the system bus");
  } else if (explicit_bluez) {
    logger::log_text(log_level::ERROR,
                     "CYCORE_BLE_BACKEND is bluez but there is no system bus; no adapter is offered");
  } else {
    log_choice("none", why_not);
  }
}

// Makes a choice reselect_backend_from_environment() left pending.
void make_pending_choice() {
  std::uint64_t expected = 0;
  {
    std::lock_guard lock(backend_mutex);
    if (!choice_pending) return;
    expected = generation;
  }
  choose_on_the_bus(expected);
}

}  // namespace

std::shared_ptr<Backend> current_backend() {
  make_pending_choice();
  std::lock_guard lock(backend_mutex);
  if (!backend) backend = none();
  return backend;
}

backend_kind current_backend_kind() {
  make_pending_choice();
  std::lock_guard lock(backend_mutex);
  return kind;
}

std::shared_ptr<virtual_ble::virtual_backend> current_virtual_backend() {
  std::lock_guard lock(backend_mutex);
  if (kind != backend_kind::virtual_headsets) return nullptr;
  return std::static_pointer_cast<virtual_ble::virtual_backend>(backend);
}

void set_backend(std::shared_ptr<Backend> replacement, backend_kind replacement_kind) {
  install(std::move(replacement), replacement_kind);
}

void use_virtual_backend() { install(virtual_ble::create_backend(), backend_kind::virtual_headsets); }

void select_backend_from_environment() {
  if (choose_without_bus()) return;
  // An earlier BlueZ connection is closed before probing again.
  choose_on_the_bus(install(nullptr, backend_kind::none));
}

void reselect_backend_from_environment() {
  if (choose_without_bus()) return;
  install(nullptr, backend_kind::none, /*pending=*/true);
}

void release_backend() {
  // The virtual headsets configured from code outlive init and close.
  std::shared_ptr<Backend> previous;  // released outside the lock
  std::lock_guard lock(backend_mutex);
  if (kind == backend_kind::virtual_headsets) return;
  previous = std::exchange(backend, none());
  kind = backend_kind::none;
  choice_pending = false;
  ++generation;
}

}  // namespace calyra::core::ble
