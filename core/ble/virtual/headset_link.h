// One virtual headset and its radio link: the GATT state, the stream, the
// subscriptions, and the worker thread that delivers every notification and
// the link-loss event (the stand-in for a BLE stack's callback thread).
//
// Threads and locks:
// - Every public function may be called from any thread; one mutex guards the
//   model and the link state. Callbacks run on the worker thread with that
//   mutex released.
// - Subscriptions, the link holds and the disconnect hooks are kept by an
//   owner_table (delivering on the worker), which waits for a running call
//   of a callback it removes, except on the worker itself (from inside a
//   callback). The model notifies a role while the table has a subscriber.
// - The worker starts at the first connect and ends in shutdown(). It holds a
//   reference to this object, so shutdown() from inside a callback (the last
//   handle released there) detaches instead of joining itself.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ble/backend.h"
#include "ble/owner_table.h"
#include "simulator/device_config.h"
#include "simulator/headset_model.h"

namespace calyra::core::ble::virtual_ble {

using simulator::device_config;
using simulator::pacing;
using simulator::default_devices;
using simulator::device_list_error;
using simulator::parse_device_list;

struct link_stats {
  bool connected = false;
  bool streaming = false;  // start command received and stream_data subscribed
  std::uint64_t packets_sent = 0;
  std::uint64_t packets_lost = 0;
  std::uint64_t ota_image_bytes = 0;
  bool ota_completed = false;
};

class headset_link : public std::enable_shared_from_this<headset_link> {
 public:
  explicit headset_link(const device_config& config);
  ~headset_link();
  headset_link(const headset_link&) = delete;
  headset_link& operator=(const headset_link&) = delete;

  const device_config& config() const { return model_.config(); }

  void connect(owner_token owner);
  void disconnect(owner_token owner);
  bool is_connected();

  ByteArray read(gatt::role role);
  void write(gatt::role role, const ByteArray& value);
  void subscribe(owner_token owner, gatt::role role, NotifyCallback callback);
  void unsubscribe(owner_token owner, gatt::role role);
  void set_disconnect_hook(owner_token owner, DisconnectCallback hook);

  // Simulated radio events, for tests and the cy_virtual_ functions.
  // The link is lost now and the headset stays out of reach for `down`
  // (nullopt: the device list's down_ms); false when not connected.
  bool drop_link(std::optional<std::chrono::steady_clock::duration> down = std::nullopt);
  // Seen by a scan: advertising and in reach. Unlike a real headset it is
  // seen while connected too, so that several managers can share its link.
  bool seen_by_scan();
  void set_battery(std::uint8_t level, bool charging);
  // The trigger input fires at `at` (see headset_model::trigger); false when
  // not streaming.
  bool trigger(std::chrono::steady_clock::time_point at);
  link_stats stats();
  std::string last_config();

  // Ends the worker; no callback runs afterwards. Called by the owner.
  void shutdown();

 private:
  using clock = std::chrono::steady_clock;
  void run();
  void ensure_worker();
  // Sets what the model notifies from the table's subscribers. Caller holds
  // mutex_.
  void update_notifying_locked();
  ByteArray checked(gatt::role role, const char* operation, const std::function<ByteArray()>& call);
  void lose_link(std::unique_lock<std::mutex>& lock);
  void close_link(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable wake_;  // the worker has something to do
  simulator::headset_model model_;
  owner_table owners_;
  bool connected_ = false;
  bool drop_requested_ = false;

  std::thread worker_;
  bool stopping_ = false;
};

}  // namespace calyra::core::ble::virtual_ble
