// The org.bluez objects of the fake: one adapter (hci0) and one device per
// virtual headset, with BlueZ's GATT objects and the behaviours of BlueZ 5.66
// that a client has to cope with:
// - devices appear (InterfacesAdded) only once discovery runs, unless paired;
// - Connect answers when the link is up; ServicesResolved follows later;
// - ReadValue also emits a Value change;
// - a second write to a characteristic while one is pending gets InProgress;
// - reads and writes without a link fail with Failed "Not connected";
// - StartNotify on a device without a link answers success;
// - notify sessions belong to a client, survive a disconnect and are enabled
//   again at the next connection unless stopped, and end when the client
//   leaves the bus.
// A test-control interface (org.calyra.FakeHeadset1) on each device lets
// tests disturb the headset (link loss, the object vanishing, battery) and
// read its counters.
//
// Everything runs on one thread: the caller's loop polls the bus and calls
// run_due() at next_deadline().
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bluez_answers.h"

namespace sdbus {
class IConnection;
class IObject;
}  // namespace sdbus

namespace calyra::fake_bluez {

struct options {
  // Delay of every WriteValue reply: the headset's answers (and, with a
  // long enough delay, stream packets) arrive before the reply.
  std::chrono::milliseconds write_reply_delay{0};
  // Between Connect's reply and ServicesResolved.
  std::chrono::milliseconds resolve_delay{20};
};

class fake_bluez {
 public:
  fake_bluez(sdbus::IConnection& connection, std::vector<sim::device_config> devices, options opts);
  ~fake_bluez();
  fake_bluez(const fake_bluez&) = delete;
  fake_bluez& operator=(const fake_bluez&) = delete;

  std::optional<clock::time_point> next_deadline() const;
  // `may_stream`: the bus is not backed up, so stream packets may be sent.
  void run_due(clock::time_point now, bool may_stream);

 private:
  struct characteristic;
  struct device;

  void build_adapter();
  void export_device(device& d);
  void export_gatt(device& d);
  void register_control(device& d);
  void set_discovering(bool on);
  void on_client_gone(const std::string& name);

  void connect(device& d);
  void disconnect(device& d, bool lost);
  void vanish(device& d);
  void emit_value(device& d, characteristic& c, const std::string& value);
  void deliver(device& d, const sim::notification& n);
  // Sends what the headset has due (at most `budget` notifications).
  void pump(device& d, clock::time_point now, int budget);
  // The link went down: BlueZ's clients see Connected become false.
  void announce_link_down(device& d);
  void update_notifying(device& d, characteristic& c);
  characteristic& find(device& d, core::gatt::role role);
  void after(std::chrono::milliseconds delay, std::function<void()> action);
  static std::string current_sender(const sdbus::IObject& object);

  sdbus::IConnection& connection_;
  options options_;
  std::unique_ptr<sdbus::IObject> adapter_;
  std::vector<std::unique_ptr<device>> devices_;
  std::vector<std::unique_ptr<characteristic>> orphans_;  // removed while a write was pending
  std::set<std::string> discovery_clients_;
  std::multimap<clock::time_point, std::function<void()>> timers_;
  std::vector<std::unique_ptr<void, std::function<void(void*)>>> matches_;
};

}  // namespace calyra::fake_bluez
