// One virtual headset and its radio link: the GATT state, the stream, the
// subscriptions, and the worker thread that delivers every notification and
// the link-loss event (the stand-in for a BLE stack's callback thread).
//
// Threads and locks:
// - Every public function may be called from any thread; one mutex guards the
//   whole object. Callbacks run on the worker thread with that mutex released.
// - Subscriptions, the link hold and the disconnect hook belong to an owner.
//   Every owner subscribed to a role gets each notification of it; the link
//   closes on request only when its last holder lets go.
// - unsubscribe(), a replacing subscribe(), set_disconnect_hook() and
//   disconnect() wait until a running call of the owner's callback they
//   remove has returned, so nothing of it runs after they return. Called on
//   the worker thread itself (from inside a callback) they do not wait.
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
#include <string>
#include <thread>
#include <vector>

#include "ble/backend.h"
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
  bool drop_link();  // false when not connected
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
  static constexpr int no_slot = -1;
  static constexpr int any_slot = -2;
  static constexpr int disconnect_slot = static_cast<int>(gatt::role_count);

  struct subscription {
    owner_token owner = 0;
    std::shared_ptr<NotifyCallback> callback;
  };
  struct hook_entry {
    owner_token owner = 0;
    std::shared_ptr<DisconnectCallback> callback;
  };

  void run();
  void ensure_worker();
  void update_notifying(gatt::role role);
  ByteArray checked(gatt::role role, const char* operation, const std::function<ByteArray()>& call);
  void deliver(std::unique_lock<std::mutex>& lock, gatt::role role, const std::string& payload);
  void lose_link(std::unique_lock<std::mutex>& lock);
  // Runs one callback of `owner` in `slot` with the mutex released, marked as
  // running for the waits below; what it throws is logged, never passed on.
  template <class Call>
  void run_unlocked(std::unique_lock<std::mutex>& lock, int slot, owner_token owner, Call&& call);
  // Waits until no callback of `owner` in `slot` (any slot: any_slot) runs.
  void wait_until_not_running(std::unique_lock<std::mutex>& lock, owner_token owner, int slot);
  std::shared_ptr<NotifyCallback> subscription_of(gatt::role role, owner_token owner) const;
  bool has_subscribers(gatt::role role) const;
  void close_link(std::unique_lock<std::mutex>& lock);
  bool on_worker_thread() const { return std::this_thread::get_id() == worker_id_; }


  std::mutex mutex_;
  std::condition_variable wake_;  // the worker has something to do
  std::condition_variable idle_;  // a callback has returned
  simulator::headset_model model_;
  bool connected_ = false;
  std::vector<owner_token> holders_;
  std::array<std::vector<subscription>, gatt::role_count> subscriptions_;
  std::vector<hook_entry> disconnect_hooks_;
  bool drop_requested_ = false;
  int running_slot_ = no_slot;
  owner_token running_owner_ = 0;

  std::thread worker_;
  std::thread::id worker_id_;
  bool stopping_ = false;
};

}  // namespace calyra::core::ble::virtual_ble
