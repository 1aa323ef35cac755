#include "session/reconnect_attempt.h"

#include "app/failure.h"

namespace calyra::session {

reconnect_attempt::reconnect_attempt(connect_fn connect) {
  thread_ = std::thread([s = state_, connect = std::move(connect)] {
    std::unique_ptr<device::headset> headset;
    std::string error;
    bool refused = false;
    try {
      headset = connect();
    } catch (const headset_refused& e) {
      error = e.what();
      refused = true;
    } catch (const std::exception& e) {
      error = e.what();
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    if (s->abandoned) return;  // the headset is freed here, on this thread
    s->headset = std::move(headset);
    s->error = std::move(error);
    s->refused = refused;
    s->done = true;
  });
}

reconnect_attempt::~reconnect_attempt() {
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<device::headset> reconnect_attempt::take_headset() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return std::move(state_->headset);
}

void reconnect_attempt::abandon() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->abandoned = true;
    state_->headset.reset();
  }
  if (thread_.joinable()) thread_.detach();
}

}  // namespace calyra::session
