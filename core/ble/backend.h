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
// - Links, subscriptions and disconnection callbacks belong to an owner (one
//   per manager). Several owners may hold the same peripheral: each gets every
//   notification of what it subscribed to, and one owner's unsubscribe() or
//   disconnect() never removes another owner's callbacks. The radio link
//   closes with the last holder's disconnect(); the device-side subscription
//   ends with the last subscriber's unsubscribe(). When the link drops on its
//   own, every owner's disconnection callback is called once and all holders
//   and subscriptions end with the link.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace calyra::core::ble {

// Payloads are byte strings.
using ByteArray = std::string;
// arrival_ns: when the backend first saw the notification, in steady_clock
// (CLOCK_MONOTONIC) nanoseconds: the simulated radio's delivery, or the moment
// the bus thread read the message. Queues after that point do not move it.
using NotifyCallback = std::function<void(const ByteArray& payload, std::int64_t arrival_ns)>;
using DisconnectCallback = std::function<void()>;

// Who holds a link, a subscription or a disconnection callback. 0 is never
// handed out.
using owner_token = std::uint64_t;
// A process-wide unique token; thread-safe.
owner_token new_owner_token();

class PeripheralBackend {
 public:
  virtual ~PeripheralBackend() = default;

  virtual std::string identifier() = 0;  // advertised name
  virtual std::string address() = 0;     // "AA:BB:CC:DD:EE:FF"
  // Opens the link if it is down and records `owner` as one of its holders.
  virtual void connect(owner_token owner) = 0;
  // Ends owner's subscriptions and its disconnection callback (synchronously,
  // as unsubscribe() does); owner stops holding the link, which closes when
  // no holder remains. Never calls a disconnection callback.
  virtual void disconnect(owner_token owner) = 0;
  virtual bool is_connected() = 0;
  virtual std::uint16_t mtu() = 0;

  virtual ByteArray read(const std::string& service, const std::string& characteristic) = 0;
  virtual void write_request(const std::string& service, const std::string& characteristic,
                             const ByteArray& data) = 0;
  // One callback per (owner, characteristic): a second notify() of the same
  // owner replaces the first, waiting for a running call of it.
  virtual void notify(owner_token owner, const std::string& service,
                      const std::string& characteristic, NotifyCallback callback) = 0;
  // Removes owner's callback only.
  virtual void unsubscribe(owner_token owner, const std::string& service,
                           const std::string& characteristic) = 0;
  // Called on a backend thread when the link drops on its own. An empty
  // function removes owner's callback.
  virtual void set_callback_on_disconnected(owner_token owner, DisconnectCallback callback) = 0;
};

class AdapterBackend {
 public:
  virtual ~AdapterBackend() = default;

  virtual std::string identifier() = 0;
  virtual std::string address() = 0;
  // False while the adapter is switched off (it can neither scan nor connect).
  virtual bool powered() { return true; }
  // Throws adapter_off_error when the adapter is switched off.
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

// What the factory installed. The questions that differ per backend (may it
// outlive cy_core_close, does it hold a bus connection) are answered from
// this, never from a backend's name.
enum class backend_kind {
  none,              // no adapter
  bluez,             // real headsets; holds a system-bus connection
  virtual_headsets,  // survives cy_core_close (configured from code or the environment)
  other,             // installed with set_backend (tests, fuzzing)
};

// The backend in use, as the layer above (backend_choice/, which owns the
// choice and defines these) installed it: backends never install themselves.
//
// The backend in use; never null. A choice left to the system bus
// (backend_choice.h) is made here by the first caller, so this may block for
// the bus probe (up to about 2 s).
std::shared_ptr<Backend> current_backend();
// The kind of current_backend(), making a pending choice as it does.
backend_kind current_backend_kind();
// Replaces the backend (tests, fuzzing); null installs none.
void set_backend(std::shared_ptr<Backend> backend, backend_kind kind = backend_kind::other);

namespace virtual_ble {
class virtual_backend;
}
// The virtual backend if it is the one in use, else null. Never makes a
// pending choice, so it does not block.
std::shared_ptr<virtual_ble::virtual_backend> current_virtual_backend();

}  // namespace calyra::core::ble
