#include "ble/bluez/callback_dispatcher.h"

#include <exception>
#include <utility>

#include "runtime/logger.h"

namespace calyra::core::ble::bluez {

struct callback_dispatcher::state {
  struct job {
    std::shared_ptr<handler> target;
    std::string payload;
    std::int64_t arrival_ns;
    bool is_event;
  };

  std::string device_name;
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable idle;
  std::deque<job> queue;
  const handler* running = nullptr;
  bool stopping = false;
  std::thread thread;
  std::thread::id thread_id;

  // Caller holds mutex. The thread keeps the state alive: the dispatcher may
  // be destroyed on its own thread (the last handle released inside a
  // callback). Its id is published under the mutex the thread takes first.
  void start_locked(const std::shared_ptr<state>& self) {
    if (thread.joinable() || stopping) return;
    thread = std::thread([self] { self->run(); });
    thread_id = thread.get_id();
  }

  void run() {
    std::unique_lock lock(mutex);
    while (true) {
      wake.wait(lock, [this] { return stopping || !queue.empty(); });
      if (stopping) return;
      job next = std::move(queue.front());
      queue.pop_front();
      if (!next.target->active) continue;
      running = next.target.get();
      lock.unlock();
      invoke(next);
      next = {};
      lock.lock();
      running = nullptr;
      idle.notify_all();
    }
  }

  void invoke(const job& call) {
    try {
      if (call.is_event)
        call.target->on_event();
      else
        call.target->on_value(call.payload, call.arrival_ns);
    } catch (const std::exception& e) {
      log_failure(e.what());
    } catch (...) {
      log_failure("unknown exception");
    }
  }

  void log_failure(const char* what) const {
    logger::log(log_level::WARNING, [&](std::ostream& out) {
      out << "BlueZ peripheral " << device_name << ": a callback threw: " << what;
    });
  }
};

callback_dispatcher::callback_dispatcher(std::string device_name)
    : state_(std::make_shared<state>()) {
  state_->device_name = std::move(device_name);
}

callback_dispatcher::~callback_dispatcher() {
  std::thread thread;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->queue.clear();
    thread = std::move(state_->thread);
    state_->wake.notify_all();
  }
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id())
    thread.detach();
  else
    thread.join();
}

void callback_dispatcher::post(std::shared_ptr<handler> target, std::string payload,
                               std::int64_t arrival_ns) {
  std::lock_guard lock(state_->mutex);
  if (!target->active) return;
  state_->start_locked(state_);
  state_->queue.push_back({std::move(target), std::move(payload), arrival_ns, false});
  state_->wake.notify_one();
}

void callback_dispatcher::post_event(std::shared_ptr<handler> target) {
  std::lock_guard lock(state_->mutex);
  if (!target->active) return;
  state_->start_locked(state_);
  state_->queue.push_back({std::move(target), {}, 0, true});
  state_->wake.notify_one();
}

void callback_dispatcher::deactivate(const std::shared_ptr<handler>& target) {
  std::lock_guard lock(state_->mutex);
  target->active = false;
}

void callback_dispatcher::retire(const std::shared_ptr<handler>& target) {
  std::unique_lock lock(state_->mutex);
  target->active = false;
  if (std::this_thread::get_id() == state_->thread_id) return;
  state_->idle.wait(lock, [&] { return state_->running != target.get(); });
}


}  // namespace calyra::core::ble::bluez
