// The view's HTTP server: the page, its event stream and the annotation
// box, for requests that pass the request_guard. Runs its own threads; a
// slow or stalled browser only ever holds up its own connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "view/annotation_inbox.h"
#include "view/event_hub.h"
#include "view/request_guard.h"

namespace httplib {
class Server;
}

namespace calyra::view {

// At most this many event streams at once, so that the page, its files
// and the annotation box always find a free server thread.
inline constexpr int max_event_streams = 4;
// Largest request body accepted (the annotation box sends a few hundred bytes).
inline constexpr std::size_t max_request_body = 4096;

class view_server {
 public:
  // `setup_event` is sent first on every event stream (layout of the stream).
  view_server(event_hub& hub, annotation_inbox& inbox, std::string setup_event);
  ~view_server();  // stops

  // Binds `address:port` (port 0: a free one) and starts serving with a
  // fresh token. Throws std::runtime_error when the address cannot be bound.
  void start(const std::string& address, unsigned port);
  // Ends the event streams, then the server; returns when its threads are done.
  void stop();

  unsigned port() const { return port_; }
  const std::string& token() const { return guard_->token(); }
  // Events a reader missed because it fell behind (a slow browser).
  std::uint64_t skipped_events() const { return skipped_; }

 private:
  void define_routes();

  event_hub& hub_;
  annotation_inbox& inbox_;
  std::string setup_event_;
  std::unique_ptr<httplib::Server> server_;
  std::unique_ptr<request_guard> guard_;
  std::thread thread_;
  unsigned port_ = 0;
  std::atomic<int> streams_{0};
  std::atomic<std::uint64_t> skipped_{0};
};

}  // namespace calyra::view
