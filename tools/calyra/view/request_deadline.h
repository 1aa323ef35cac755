// A deadline for each request to arrive whole. A client that trickles its
// request in (one header byte a second) would otherwise keep its
// connection, and one of the server's limited slots, as long as it likes:
// once a request's head and body are not in within the limit of their first
// moment, its socket is shut down, and the server closes the connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <unordered_map>

namespace calyra::view {

class request_deadline {
 public:
  using clock = std::chrono::steady_clock;
  explicit request_deadline(std::chrono::milliseconds limit) : limit_(limit) {}

  // A connection on socket `fd` opened: the clock of its first request runs from `now`.
  void opened(const void* connection, int fd, clock::time_point now);
  // It finished a request and waits for its next one (ignored once closed).
  void waiting(const void* connection, clock::time_point now);
  // Its request arrived whole: no deadline until the next one.
  void arrived(const void* connection);
  // The server is about to close it (after this, its socket may be reused).
  void closed(const void* connection);

  // Shuts down (for reading and writing) the sockets of the requests past
  // their deadline at `now`; returns how many.
  std::size_t enforce(clock::time_point now);

 private:
  struct entry {
    int fd;
    clock::time_point since;
    bool waiting;
  };
  std::chrono::milliseconds limit_;
  std::mutex mutex_;
  std::unordered_map<const void*, entry> connections_;
};

}  // namespace calyra::view
