// The interface a BLE backend implements. The `Adapter` and `Peripheral`
// handles forward every call to these objects.
//
// Notes for implementers:
// - Any call may block (connect, read and write wait for the device; scan_for
//   blocks for its whole duration). None may be called with a lock of the
//   caller's that a callback also takes.
// - Failures throw a ble_error subclass (all are std::runtime_error).
// - Notification and disconnection callbacks run on a thread owned by the
//   backend, never on the thread that subscribed.
// - unsubscribe() and set_callback_on_disconnected() replace or remove a
//   callback synchronously: when they return, the old callback is not running
//   and will never run again. Called from inside that very callback they do
//   not wait (the running call finishes normally).
// - disconnect() ends every subscription the same way: no notification
//   callback runs after it returns. The disconnection callback is for links
//   that drop on their own; a requested disconnect() does not call it.
// - unsubscribe() of a characteristic that has no subscription, and
//   disconnect() of a peripheral without a link, do nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace calyra::core::ble {

// Payloads are byte strings.
using ByteArray = std::string;
using NotifyCallback = std::function<void(const ByteArray& payload)>;
using DisconnectCallback = std::function<void()>;

class PeripheralBackend {
 public:
  virtual ~PeripheralBackend() = default;

  virtual std::string identifier() = 0;  // advertised name
  virtual std::string address() = 0;     // "AA:BB:CC:DD:EE:FF"
  virtual void connect() = 0;
  virtual void disconnect() = 0;
  virtual bool is_connected() = 0;
  virtual std::uint16_t mtu() = 0;

  virtual ByteArray read(const std::string& service, const std::string& characteristic) = 0;
  virtual void write_request(const std::string& service, const std::string& characteristic,
                             const ByteArray& data) = 0;
  virtual void notify(const std::string& service, const std::string& characteristic,
                      NotifyCallback callback) = 0;
  virtual void unsubscribe(const std::string& service, const std::string& characteristic) = 0;
  // Called on a backend thread when the link drops on its own. An empty
  // function removes the callback.
  virtual void set_callback_on_disconnected(DisconnectCallback callback) = 0;
};

class AdapterBackend {
 public:
  virtual ~AdapterBackend() = default;

  virtual std::string identifier() = 0;
  virtual std::string address() = 0;
  virtual void scan_for(int timeout_ms) = 0;
  virtual std::vector<std::shared_ptr<PeripheralBackend>> scan_get_results() = 0;
  virtual std::vector<std::shared_ptr<PeripheralBackend>> get_paired_peripherals() = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;

  virtual std::string name() const = 0;
  virtual bool bluetooth_enabled() = 0;
  virtual std::vector<std::shared_ptr<AdapterBackend>> get_adapters() = 0;
};

// The backend in use. Chosen by select_backend_from_environment() when
// cy_core_init runs (CYCORE_BLE_BACKEND: "virtual", or unset for the platform
// backend, which behaves as a machine without an adapter while no real
// backend exists). Never null once selected.
std::shared_ptr<Backend> current_backend();
void select_backend_from_environment();
// Replaces the backend (tests, and the cy_virtual_ configuration API).
void set_backend(std::shared_ptr<Backend> backend);
// cy_core_close: a backend holding a bus connection is closed (replaced by
// "none"); the virtual one stays.
void release_backend();

}  // namespace calyra::core::ble
