// The state of the link to one BlueZ device: whether it is up, the connect
// or close under way, the device-side notification sessions, and the owner
// table of who holds it and who subscribed.
//
// Threads and locks: a mutex of its own guards every field; no function
// waits for anything while holding it, and none calls out to the bus. The bus
// client's signal handlers report events here from the event-loop thread
// (with the bus client's mutex held: that mutex comes first); those calls
// never wait. The peripheral drives connect and close.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ble/owner_table.h"

namespace calyra::core::ble::bluez {

class device_link {
 public:
  explicit device_link(const std::string& path);
  // Stops the dispatcher first: the socket's functions use this object.
  ~device_link();
  device_link(const device_link&) = delete;
  device_link& operator=(const device_link&) = delete;

  // The holders, subscribers and link-loss hooks. Callbacks run on its
  // dispatcher, which also reads the notification socket.
  owner_table owners;
  // Serialises the GATT operations of this device (BlueZ rejects a second
  // concurrent write with InProgress) and subscription changes. Never held
  // while waiting for a callback.
  std::mutex gatt_mutex;

  // Connect. Waits until no connect or close is under way; then, with the
  // link up, records `owner` as a holder and returns false; else marks a
  // connect under way and returns true: the caller opens the link and ends
  // with connect_done() or connect_failed().
  bool begin_connect(owner_token owner);
  void connect_failed();
  // `brought_up`: this process called Connect while the device had no link;
  // only then is closing it ours to do (Disconnect drops it for every
  // program).
  void connect_done(owner_token owner, std::uint16_t mtu, bool brought_up);

  // Close. After an owner's release: true when no holder remains and the link
  // is up, once (a close is then under way until close_done()).
  bool begin_close();
  bool brought_up();
  void close_done();

  bool up();
  std::uint16_t mtu();
  // Up, or a connect or close under way.
  bool in_use();

  // Names as last seen, for when the object is gone.
  void remember(const std::optional<std::string>& name, const std::string& address);
  std::string name();
  std::string address();

  // Events from the bus. The link dropped on its own: true when it was up and
  // no close was under way (the owners are told).
  bool lose_if_up();
  // bluetoothd left: as lose_if_up(), and its notify sessions are gone.
  bool daemon_gone();

  // Subscriptions on the device, keyed by "service uuid/characteristic uuid",
  // lower case.
  struct subscription {
    std::string path;  // the characteristic's object path when last resolved
    // BlueZ holds a notify session of ours. It survives a link loss and is
    // re-enabled by BlueZ at the next connection, so it is only ended by an
    // explicit StopNotify (or by bluetoothd going away).
    bool session = false;
    // Notifications come through AcquireNotify's socket, which the
    // dispatcher reads. The socket ends with the link: acquired again at the
    // next subscription.
    bool acquired = false;
    std::uint64_t acquisition = 0;  // the number of the socket last acquired
  };
  void route(const std::string& key, const std::string& path);
  subscription subscription_of(const std::string& key);
  void session_started(const std::string& key);
  // The socket of `key` is acquired; returns its number, which tells one
  // socket's end from a later's.
  std::uint64_t socket_acquired(const std::string& key);
  // The socket numbered `acquisition` closed: false when that was known
  // already (a later socket, or ended on purpose). `link_up` says whether
  // the link was up then.
  bool socket_closed(const std::string& key, std::uint64_t acquisition, bool& link_up);
  // Keys with a device-side subscription but no subscriber left.
  std::vector<std::string> unused_sessions();
  // Ends the device-side subscription of `key` when nobody subscribes to it:
  // returns the path to call StopNotify on, or "" with `socket` set when the
  // socket is to be closed (neither: nothing to end).
  std::string end_unused_session(const std::string& key, bool& socket);
  // Before a requested close: the paths with notify sessions, and whether a
  // socket is open. Both count as ended.
  std::vector<std::string> end_all_sessions(bool& socket);

  // A characteristic's value changed (a notification through the bus):
  // delivered to the subscribers of the key routed to `path`, unless its
  // notifications come through the socket (then it is the echo of a read).
  void value_changed(const std::string& path, const std::string& value, std::int64_t arrival_ns);

 private:
  std::mutex mutex_;
  std::condition_variable settled_;  // a connect or close ended
  bool up_ = false;
  bool connecting_ = false;
  bool closing_ = false;  // a requested disconnect is running: Connected=false is expected
  bool brought_up_ = false;
  std::uint16_t mtu_ = 23;
  std::string name_;
  std::string address_;
  std::map<std::string, subscription> subscriptions_;
};

}  // namespace calyra::core::ble::bluez
