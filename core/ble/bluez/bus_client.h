// One connection to the system bus and everything the BlueZ backend shares:
// the mirror of BlueZ's objects, the link state of every device, and the
// handlers of BlueZ's signals.
//
// Threads:
// - sdbus-c++ runs the event loop on its own thread. Every match rule is
//   installed before that loop starts (the connection is not thread-safe).
//   Signal handlers on the loop thread only update the mirror and the link
//   states under `mutex` and queue callbacks on the device's dispatcher; they
//   never wait for anything.
// - Method calls are made from callers' threads; their replies arrive through
//   the loop thread.
// - The client is never destroyed on the loop thread: nothing there holds a
//   strong reference to a peripheral or to the client.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ble/backend.h"
#include "ble/bluez/object_mirror.h"
#include "ble/owner_table.h"

#include <sdbus-c++/TypeTraits.h>

namespace sdbus {
class IConnection;
class IProxy;
class Message;
class Variant;
}  // namespace sdbus

namespace calyra::core::ble::bluez {

// One characteristic's subscription on the device (who subscribed is in the
// link's owner table).
struct subscription {
  std::string path;  // the characteristic's object path when last resolved
  // BlueZ holds a notify session of ours. It survives a link loss and is
  // re-enabled by BlueZ at the next connection, so it is only ended by an
  // explicit StopNotify (or by bluetoothd going away).
  bool session = false;
  // Notifications come through AcquireNotify's socket, which the device's
  // dispatcher reads. The socket ends with the link: acquired again at the
  // next subscription. `acquisition` tells one socket's end from a later's.
  bool acquired = false;
  std::uint64_t acquisition = 0;
};

// The state of the link to one device; guarded by bus_client::mutex except
// where noted.
struct device_link {
  explicit device_link(const std::string& path)
      : owners("BlueZ peripheral " + path, owner_table::delivery::queued) {}

  // The holders, subscribers and link-loss hooks; its own lock. Callbacks run
  // on its dispatcher, which also reads the notification socket.
  owner_table owners;
  // Serialises the GATT operations of this device (BlueZ rejects a second
  // concurrent write with InProgress) and subscription changes. Never held
  // while waiting for a callback.
  std::mutex gatt_mutex;
  bool up = false;
  bool connecting = false;
  bool closing = false;  // a requested disconnect is running: Connected=false is expected
  // This process called Connect while the device had no link: only then is
  // closing it ours to do (Disconnect drops it for every program).
  bool brought_up = false;
  std::uint16_t mtu = 23;
  // Keyed by "service uuid/characteristic uuid", lower case.
  std::map<std::string, subscription> subscriptions;
  std::string name;     // last known, for when the object is gone
  std::string address;  // last known
};

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

  std::mutex mutex;
  std::condition_variable changed;  // the mirror or a link state changed
  object_mirror mirror;             // guarded by mutex

  // The link state of a device, created on first use. It is kept while a
  // peripheral object holds it or the link is in use; release_unused()
  // forgets the others. Caller holds mutex.
  std::shared_ptr<device_link> link_locked(const std::string& device_path);
  // Forgets the link states nobody holds (devices a scan saw whose handles
  // were all released), so that a long session of scans among many or
  // rotating advertisers stays bounded. Call without mutex; never on the
  // event-loop thread.
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
  // These run with `mutex` held; what they have to log waits in notes_
  // until write_notes() runs without it.
  void removed_locked(const std::string& path, const std::vector<std::string>& interfaces);
  void changed_locked(const std::string& path, const std::string& interface,
                      const std::map<std::string, sdbus::Variant>& values,
                      const std::vector<std::string>& invalidated);
  void lose_link(device_link& link, const char* reason, const std::string& device_path);
  void forget_daemon();
  void write_notes();

  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> root_proxy_;  // for the asynchronous refetch
  std::vector<sdbus::Slot> matches_;
  bool loop_running_ = false;

  // Guarded by mutex.
  std::map<std::string, std::shared_ptr<device_link>> links_;
  bool bluez_present_ = false;
  std::optional<std::string> scanning_adapter_;
  std::set<std::string> seen_;
  std::vector<std::string> notes_;
};

}  // namespace calyra::core::ble::bluez
