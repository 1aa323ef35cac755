#include "view/request_deadline.h"

#include <sys/socket.h>

namespace calyra::view {

void request_deadline::opened(const void* connection, int fd, clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  connections_[connection] = entry{fd, now, true};
}

void request_deadline::waiting(const void* connection, clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto at = connections_.find(connection);
  if (at == connections_.end()) return;
  at->second.since = now;
  at->second.waiting = true;
}

void request_deadline::arrived(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto at = connections_.find(connection);
  if (at != connections_.end()) at->second.waiting = false;
}

void request_deadline::closed(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.erase(connection);
}

std::size_t request_deadline::enforce(clock::time_point now) {
  // Under the lock: closed() takes it before the server closes the socket,
  // so the descriptor shut down here is still this connection's.
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t late = 0;
  for (auto& [connection, e] : connections_) {
    if (!e.waiting || now - e.since < limit_) continue;
    shutdown(e.fd, SHUT_RDWR);
    e.waiting = false;  // once is enough
    ++late;
  }
  return late;
}

}  // namespace calyra::view
