// One connection to the system bus and everything the BlueZ backend shares:
// the mirror of BlueZ's objects, the link state of every device, and the
// handlers of BlueZ's signals.
//
// Threads:
// - sdbus-c++ runs the event loop on its own thread. Every match rule is
//   installed before that loop starts (the connection is not thread-safe).
//   Signal handlers on the loop thread only update the mirror under the
//   client's mutex and report link events to the device's link state (which
//   queues callbacks on its dispatcher); they never wait for anything.
// - The mirror is read through copies; waits for a change of it are made
//   here. No lock of the client is held by a caller.
// - Method calls are made from callers' threads; their replies arrive through
//   the loop thread.
// - The client is never destroyed on the loop thread: nothing there holds a
//   strong reference to a peripheral or to the client.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ble/backend.h"
#include "ble/bluez/device_link.h"
#include "ble/bluez/object_mirror.h"

#include <sdbus-c++/TypeTraits.h>

namespace sdbus {
class IConnection;
class IProxy;
class Message;
class Variant;
}  // namespace sdbus

namespace calyra::core::ble::bluez {

class bus_client : public std::enable_shared_from_this<bus_client> {
 public:
  // Opens the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and fetches the
  // object tree. Throws sdbus::Error when there is no bus.
  static std::shared_ptr<bus_client> open();
  ~bus_client();
  bus_client(const bus_client&) = delete;
  bus_client& operator=(const bus_client&) = delete;

  // Whether org.bluez has an owner (as last seen).
  bool bluez_present();

  // Copies of what the mirror shows.
  std::map<std::string, adapter_record> adapters();
  std::map<std::string, device_record> devices();
  std::optional<device_record> device(const std::string& path);
  std::optional<std::string> find_characteristic(const std::string& device, const std::string& service_uuid,
                                                 const std::string& characteristic_uuid);
  std::optional<std::string> any_characteristic(const std::string& device);
  // Waits until `done` holds for the device's record (null: the object is
  // gone); false when `timeout` passed first.
  using device_condition = std::function<bool(const device_record*)>;
  bool wait_for_device(const std::string& path, std::chrono::milliseconds timeout,
                       const device_condition& done);

  // The link state of a device, created on first use. It is kept while a
  // peripheral object holds it or the link is in use; release_unused()
  // forgets the others.
  std::shared_ptr<device_link> link(const std::string& device_path);
  // Forgets the link states nobody holds (devices a scan saw whose handles
  // were all released), so that a long session of scans among many or
  // rotating advertisers stays bounded. Never on the event-loop thread.
  void release_unused();

  // Scan window bookkeeping.
  void begin_scan(const std::string& adapter_path);
  std::set<std::string> end_scan();

  // Calls with a timeout; they throw sdbus::Error.
  void call_void(const std::string& path, const char* interface, const char* method,
                 std::chrono::milliseconds timeout);
  void start_discovery_filter(const std::string& adapter_path);
  std::string read_value(const std::string& path, std::chrono::milliseconds timeout);
  void write_value(const std::string& path, const std::string& value,
                   std::chrono::milliseconds timeout);
  // AcquireNotify: the socket's descriptor, owned by the caller.
  int acquire_notify(const std::string& path, std::chrono::milliseconds timeout);
  // The MTU property of a characteristic, when BlueZ shows one.
  std::optional<std::uint16_t> read_mtu(const std::string& path);

 private:
  bus_client() = default;
  void install_matches();
  void fetch_objects();
  void on_interfaces_added(sdbus::Message& message);
  void on_interfaces_removed(sdbus::Message& message);
  void on_properties_changed(sdbus::Message& message);
  void on_name_owner_changed(sdbus::Message& message);
  void on_value(const std::string& path, std::string value, std::int64_t arrival_ns);
  // These run with mutex_ held; what they have to log waits in notes_
  // until write_notes() runs without it.
  void removed_locked(const std::string& path, const std::vector<std::string>& interfaces);
  void changed_locked(const std::string& path, const std::string& interface,
                      const std::map<std::string, sdbus::Variant>& values,
                      const std::vector<std::string>& invalidated);
  void lose_link(device_link& link, const char* reason, const std::string& device_path);
  void note_loss(device_link& link, const char* reason, const std::string& device_path);
  void forget_daemon();
  void write_notes();

  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> root_proxy_;  // for the asynchronous refetch
  std::vector<sdbus::Slot> matches_;
  bool loop_running_ = false;

  std::mutex mutex_;
  std::condition_variable changed_;  // the mirror changed
  // Guarded by mutex_.
  object_mirror mirror_;
  std::map<std::string, std::shared_ptr<device_link>> links_;
  bool bluez_present_ = false;
  std::optional<std::string> scanning_adapter_;
  std::set<std::string> seen_;
  std::vector<std::string> notes_;
};

}  // namespace calyra::core::ble::bluez
