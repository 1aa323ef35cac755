// The org.bluez objects of the fake: its adapters (hci0 unless told
// otherwise) and one device per virtual headset under one of them, with
// BlueZ's GATT objects and the behaviours of BlueZ 5.66 that a client has to
// cope with:
// - devices appear (InterfacesAdded) only once discovery runs, unless paired;
//   a connected one does not advertise;
// - an adapter that is off answers StartDiscovery and Connect with NotReady;
// - Connect answers when the link is up; ServicesResolved follows later. The
//   link is shared by every client: Connect of a connected device answers
//   success, Connect while another is under way answers InProgress, and
//   Disconnect from any client drops the link for all;
// - a notification carries at most MTU - 3 bytes (the rest is cut off); the
//   MTU is the device list's `mtu`, else 517;
// - ReadValue also emits a Value change;
// - a second write to a characteristic while one is pending gets InProgress;
// - reads and writes without a link fail with Failed "Not connected";
// - StartNotify on a device without a link answers success;
// - notify sessions belong to a client, survive a disconnect and are enabled
//   again at the next connection unless stopped, and end when the client
//   leaves the bus;
// - AcquireNotify hands one client one end of a SOCK_SEQPACKET socket pair
//   (one packet per notification); while it is held, other AcquireNotify and
//   StartNotify calls get NotPermitted, and AcquireNotify while StartNotify
//   sessions exist gets InProgress. The socket closes when the link drops;
//   closing it releases the characteristic.
// - a headset out of reach (down_ms after a link loss, drop_every) does not
//   advertise, and Connect fails with Failed "le-connection-abort-by-local"
//   after the connect delay;
// A test-control interface (org.calyra.FakeHeadset1) on each device lets
// tests disturb the headset (link loss: DropLink() for the device list's
// down_ms, DropLinkFor(u down_ms); the object vanishing, battery, the
// trigger input: Trigger() fails with org.calyra.Error.NotStreaming unless
// the headset streams) and read its counters.
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

#include <sdbus-c++/MethodResult.h>
#include <sdbus-c++/Types.h>

namespace sdbus {
class IConnection;
class IObject;
}  // namespace sdbus

namespace calyra::fake_bluez {

struct adapter_option {
  std::string name;  // "hciN"
  bool powered = true;
};

struct options {
  std::vector<adapter_option> adapters{{"hci0", true}};
  std::string devices_on = "hci0";  // the adapter the headsets are seen by
  // Between Connect and the link coming up (and Connect's reply).
  std::chrono::milliseconds connect_delay{0};
  // AcquireNotify answers NotSupported (as for a characteristic BlueZ cannot
  // hand out a socket for).
  bool acquire_notify = true;
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
  struct adapter;
  struct characteristic;
  struct device;

  void build_adapter(adapter& a);
  const adapter& adapter_of(const device& d) const;
  static bool advertising(const device& d);
  void export_device(device& d);
  void export_gatt(device& d);
  void register_control(device& d);
  void set_discovering(adapter& a, bool on);
  void on_client_gone(const std::string& name);

  void connect(device& d, sdbus::Result<>&& reply);
  // False when the headset is out of reach: the link stays down.
  bool link_up(device& d);
  sdbus::UnixFd acquire_notify(device& d, characteristic& c, std::uint16_t& mtu);
  void release(characteristic& c);
  bool acquired(characteristic& c);
  void disconnect(device& d);
  void lose_link(device& d, clock::duration down);
  void vanish(device& d);
  void emit_value(device& d, characteristic& c, const std::string& value);
  // False when the acquired socket is full: the notification was not sent.
  bool deliver(device& d, const sim::notification& n);
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
  std::vector<std::unique_ptr<adapter>> adapters_;
  std::vector<std::unique_ptr<device>> devices_;
  std::vector<std::unique_ptr<characteristic>> orphans_;  // removed while a write was pending
  std::set<std::string> discovery_clients_;
  std::multimap<clock::time_point, std::function<void()>> timers_;
  std::vector<std::unique_ptr<void, std::function<void(void*)>>> matches_;
};

}  // namespace calyra::fake_bluez
