// One attempt to get a lost headset back, on a thread of its own: finding
// it and connecting block for seconds, and the session must go on placing
// events, showing the outage and answering Ctrl-C meanwhile.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/headset.h"

namespace calyra::session {

class reconnect_attempt {
 public:
  // Connects, checks and starts the stream: `connect` returns the headset
  // streaming, or throws app::command_failure. `refused` in the failure
  // marks a headset that came back as something else (the run must end).
  using connect_fn = std::function<std::unique_ptr<device::headset>()>;
  explicit reconnect_attempt(connect_fn connect);
  // Waits for the attempt, unless abandoned.
  ~reconnect_attempt();

  reconnect_attempt(const reconnect_attempt&) = delete;
  reconnect_attempt& operator=(const reconnect_attempt&) = delete;

  bool done() const { return state_->done.load(); }
  // After done(): the headset, or null with the reason in error().
  std::unique_ptr<device::headset> take_headset();
  const std::string& error() const { return state_->error; }
  bool refused() const { return state_->refused; }
  // Leaves the attempt to finish alone (Ctrl-C): it frees what it made.
  // The program must then end without waiting for it (std::_Exit), since
  // the library cannot be closed under a connect in progress.
  void abandon();

 private:
  struct state {
    std::mutex mutex;
    std::atomic<bool> done{false};
    bool abandoned = false;
    std::unique_ptr<device::headset> headset;
    std::string error;
    bool refused = false;
  };
  std::shared_ptr<state> state_ = std::make_shared<state>();
  std::thread thread_;
};

// Thrown by a connect_fn for a headset that is not the one that was lost.
class headset_refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace calyra::session
