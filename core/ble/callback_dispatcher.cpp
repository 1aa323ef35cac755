#include "ble/callback_dispatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <utility>

#include "runtime/logger.h"

namespace calyra::core::ble {
namespace {

// The largest notification: an ATT MTU of 517 less the 3-byte header.
constexpr std::size_t max_notification = 514;
// Packets read in one go before the queue gets a turn.
constexpr int socket_batch = 64;

std::int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

struct callback_dispatcher::state {
  struct job {
    std::shared_ptr<handler> target;
    std::string payload;
    std::int64_t arrival_ns;
    bool is_event;
  };
  struct socket_source {
    int fd = -1;
    targets_function targets;
    std::function<void()> closed;
  };

  std::string device_name;
  std::mutex mutex;
  std::condition_variable idle;
  std::deque<job> queue;
  socket_source socket;
  // The calls under way: the dispatcher thread's, and run_here()'s.
  struct running_call {
    const handler* target;
    std::thread::id thread;
    // Retired on its own thread (by an earlier callback) before it ran.
    bool skip = false;
  };
  std::vector<running_call> running;
  bool stopping = false;
  // The thread sleeps in poll(): a post has to wake it through wake_fd.
  bool waiting = false;
  // The thread's poll() watches socket.fd: it must not be closed under it.
  bool polling_socket = false;
  int wake_fd = -1;
  std::thread thread;
  std::thread::id thread_id;

  ~state() {
    if (socket.fd >= 0) ::close(socket.fd);
    if (wake_fd >= 0) ::close(wake_fd);
  }

  // Caller holds mutex. The thread keeps the state alive: the dispatcher may
  // be destroyed on its own thread (the last handle released inside a
  // callback). Its id is published under the mutex the thread takes first.
  void start_locked(const std::shared_ptr<state>& self) {
    if (thread.joinable() || stopping) return;
    thread = std::thread([self] { self->run(); });
    thread_id = thread.get_id();
  }

  void wake_locked() {
    if (!waiting) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd, &one, sizeof one);
  }

  void run() {
    std::unique_lock lock(mutex);
    while (!stopping) {
      if (queue.empty()) {
        wait(lock);
        continue;
      }
      // A link-loss call comes after every notification received before it.
      if (queue.front().is_event && socket.fd >= 0) read_socket(lock, -1);
      if (stopping || queue.empty()) continue;
      job next = std::move(queue.front());
      queue.pop_front();
      call(lock, next);
    }
  }

  // Sleeps until a post or a packet; reads the packets.
  void wait(std::unique_lock<std::mutex>& lock) {
    const int fd = socket.fd;
    pollfd fds[2] = {{wake_fd, POLLIN, 0}, {fd, POLLIN, 0}};
    waiting = true;
    polling_socket = fd >= 0;
    lock.unlock();
    while (::poll(fds, fd >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
    }
    lock.lock();
    waiting = false;
    polling_socket = false;
    idle.notify_all();
    if (fds[0].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t read = ::read(wake_fd, &count, sizeof count);
    }
    if (fd >= 0 && fd == socket.fd && fds[1].revents != 0) read_socket(lock, socket_batch);
  }

  // Reads up to `limit` packets (all that wait, with -1) and calls their
  // subscribers; closes the socket at its end.
  void read_socket(std::unique_lock<std::mutex>& lock, int limit) {
    char buffer[max_notification + 1];
    for (int n = 0; (limit < 0 || n < limit) && socket.fd >= 0 && !stopping; ++n) {
      const ssize_t got = ::recv(socket.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      if (got <= 0) {
        end_socket(lock);
        return;
      }
      // The packet's arrival is the moment it is read: nothing stands between.
      job packet{nullptr, std::string(buffer, static_cast<std::size_t>(got)), monotonic_ns(), false};
      const targets_function targets = socket.targets;
      lock.unlock();
      std::vector<std::shared_ptr<handler>> to_call = targets();
      lock.lock();
      for (auto& target : to_call) {
        packet.target = std::move(target);
        call(lock, packet);
      }
    }
  }

  void end_socket(std::unique_lock<std::mutex>& lock) {
    ::close(socket.fd);
    const std::function<void()> closed = std::move(socket.closed);
    socket = {};
    lock.unlock();
    if (closed) closed();
    lock.lock();
  }

  // Runs one call unlocked, marked as running for retire().
  void call(std::unique_lock<std::mutex>& lock, const job& next) {
    if (!next.target->active) return;
    running.push_back({next.target.get(), std::this_thread::get_id()});
    call_claimed(lock, next);
  }

  // Runs a call already marked as running on this thread, then unmarks it.
  // A handler retired by another thread since it was marked still runs: that
  // retire() waits for it.
  void call_claimed(std::unique_lock<std::mutex>& lock, const job& next) {
    const auto mine = [&] {
      for (auto it = running.begin(); it != running.end(); ++it)
        if (it->thread == std::this_thread::get_id() && it->target == next.target.get()) return it;
      return running.end();
    };
    if (const auto it = mine(); it != running.end() && !it->skip) {
      lock.unlock();
      invoke(next);
      lock.lock();
    }
    if (const auto it = mine(); it != running.end()) running.erase(it);
    idle.notify_all();
  }

  // Caller holds mutex.
  void deactivate_locked(handler& target) {
    target.active = false;
    for (running_call& r : running)
      if (r.target == &target && r.thread == std::this_thread::get_id()) r.skip = true;
  }

  // A call of `target` runs on another thread.
  bool running_elsewhere(const handler* target) const {
    for (const running_call& r : running)
      if (r.target == target && r.thread != std::this_thread::get_id()) return true;
    return false;
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
      out << device_name << ": a callback threw: " << what;
    });
  }
};

callback_dispatcher::callback_dispatcher(std::string device_name)
    : state_(std::make_shared<state>()) {
  state_->device_name = std::move(device_name);
  state_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

callback_dispatcher::~callback_dispatcher() { stop(); }

void callback_dispatcher::stop() {
  std::thread thread;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->queue.clear();
    thread = std::move(state_->thread);
    state_->wake_locked();
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
  state_->wake_locked();
}

void callback_dispatcher::post_event(std::shared_ptr<handler> target) {
  std::lock_guard lock(state_->mutex);
  if (!target->active) return;
  state_->start_locked(state_);
  state_->queue.push_back({std::move(target), {}, 0, true});
  state_->wake_locked();
}

void callback_dispatcher::deactivate(const std::shared_ptr<handler>& target) {
  std::lock_guard lock(state_->mutex);
  state_->deactivate_locked(*target);
}

void callback_dispatcher::retire(const std::shared_ptr<handler>& target) {
  std::unique_lock lock(state_->mutex);
  state_->deactivate_locked(*target);
  // A call on this very thread (a callback retiring itself) is left to end.
  state_->idle.wait(lock, [&] { return !state_->running_elsewhere(target.get()); });
}

void callback_dispatcher::claim(const std::vector<std::shared_ptr<handler>>& targets) {
  std::lock_guard lock(state_->mutex);
  for (const auto& target : targets) state_->running.push_back({target.get(), std::this_thread::get_id()});
}

void callback_dispatcher::run_claimed(const std::vector<std::shared_ptr<handler>>& targets,
                                      const std::string& payload, std::int64_t arrival_ns) {
  std::unique_lock lock(state_->mutex);
  for (const auto& target : targets) state_->call_claimed(lock, {target, payload, arrival_ns, false});
}

void callback_dispatcher::run_event_here(const std::shared_ptr<handler>& target) {
  std::unique_lock lock(state_->mutex);
  if (state_->stopping) return;
  state_->call(lock, {target, {}, 0, true});
}

void callback_dispatcher::attach_socket(int fd, targets_function targets, std::function<void()> closed) {
  detach_socket();
  std::lock_guard lock(state_->mutex);
  state_->socket = {fd, std::move(targets), std::move(closed)};
  state_->start_locked(state_);
  state_->wake_locked();  // a poll() without the socket is under way
}

void callback_dispatcher::detach_socket() {
  int fd = -1;
  {
    std::unique_lock lock(state_->mutex);
    fd = std::exchange(state_->socket.fd, -1);
    state_->socket = {};
    if (fd < 0) return;
    if (std::this_thread::get_id() != state_->thread_id) {
      state_->wake_locked();
      state_->idle.wait(lock, [&] { return !state_->polling_socket; });
    }
  }
  ::close(fd);
}

}  // namespace calyra::core::ble
