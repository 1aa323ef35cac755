// The thread on which one peripheral's notification and link-loss callbacks
// run. It starts with the first call queued, so a device a scan saw but that
// was never connected (nothing is ever queued for it) costs no thread. A
// backend with a thread of its own (the virtual headset's radio) may instead
// run calls there with run_here(); retire() waits for those just the same.
// The BlueZ bus's event-loop thread only queues work here and never waits for
// a callback: a callback may block on a lock whose holder is waiting for a
// method reply, and that reply can only be delivered by the event loop.
//
// A callback is registered as a `handler`. retire() deactivates one so that
// queued calls of it are dropped, and waits until a running call of it has
// returned, except on the thread running it (a callback removing itself),
// where waiting would never end.
//
// The thread may also read one notification socket (AcquireNotify's): it
// waits for the queue and the socket at once and calls the socket's
// subscribers itself, so a notification crosses no thread on its way.
// Everything in the socket arrived before a link loss queued meanwhile, so
// the socket is read empty before a link-loss call runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace calyra::core::ble {

class callback_dispatcher {
 public:
  struct handler {
    std::function<void(const std::string&, std::int64_t)> on_value;  // notifications
    std::function<void()> on_event;                     // link loss
    bool active = true;                                 // guarded by the dispatcher's mutex
  };

  explicit callback_dispatcher(std::string device_name);
  ~callback_dispatcher();
  callback_dispatcher(const callback_dispatcher&) = delete;
  callback_dispatcher& operator=(const callback_dispatcher&) = delete;

  // Queues one call; never blocks on a callback. Calls of a retired handler
  // are skipped.
  void post(std::shared_ptr<handler> target, std::string payload, std::int64_t arrival_ns);
  void post_event(std::shared_ptr<handler> target);
  // For a backend thread of its own, in two steps: claim() marks calls of
  // `targets` as under way on the calling thread, so that retire() from
  // another thread waits for them from then on; run_claimed() then runs them
  // there in turn: all of them, except those retired on this thread (by an
  // earlier callback) meanwhile. What a callback throws is logged.
  void claim(const std::vector<std::shared_ptr<handler>>& targets);
  void run_claimed(const std::vector<std::shared_ptr<handler>>& targets, const std::string& payload,
                   std::int64_t arrival_ns);
  // One link-loss call on the calling thread now (skipped when retired).
  void run_event_here(const std::shared_ptr<handler>& target);

  // No call of `target` runs after this returns (unless called from inside it,
  // or from another callback on the thread running it).
  void retire(const std::shared_ptr<handler>& target);
  // Marks the handler inactive without waiting (for the event-loop thread);
  // a call claimed on another thread still runs.
  void deactivate(const std::shared_ptr<handler>& target);

  // Reads `fd` (a SOCK_SEQPACKET socket, one notification per packet; the
  // dispatcher owns it from now on) and calls each handler `targets()`
  // returns with every packet. `targets` runs on the dispatcher thread
  // without the dispatcher's lock. At the end of the socket (the link
  // dropped, or BlueZ let go), it is closed and `closed` runs. A socket
  // attached earlier is detached first.
  using targets_function = std::function<std::vector<std::shared_ptr<handler>>()>;
  void attach_socket(int fd, targets_function targets, std::function<void()> closed);
  // Closes the socket: when this returns, the thread no longer reads it
  // (called on the dispatcher thread it closes at once).
  void detach_socket();

  // Ends the thread: queued calls are dropped, and when this returns no call,
  // socket read or `targets`/`closed` function runs any more (on the
  // dispatcher thread itself the thread ends once the running call returns).
  // For an owner whose members those functions use: it stops the dispatcher
  // before they go. Also done by the destructor.
  void stop();

 private:
  struct state;
  std::shared_ptr<state> state_;
};

}  // namespace calyra::core::ble
