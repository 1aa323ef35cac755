// The view's HTTP server: the page, its event stream and the annotation
// box. One event loop serves every connection, so a slow or hostile client
// holds a socket and a bounded piece of memory, never a thread: each
// connection's memory (request line and headers included) is capped,
// every request must arrive whole within a deadline, and the number of
// connections is limited.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "view/annotation_inbox.h"
#include "view/event_hub.h"
#include "view/request_deadline.h"
#include "view/request_guard.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace calyra::view {

// At most this many event streams at once (a further page is told why).
inline constexpr int max_event_streams = 4;
// Largest request body accepted (the annotation box sends a few hundred bytes).
inline constexpr std::size_t max_request_body = 4096;
// Memory of one connection, request line and headers included: a request
// whose head does not fit is answered with an error and its connection closed.
inline constexpr std::size_t connection_memory = 16 * 1024;
// Connections at once; further ones are closed as they arrive.
inline constexpr unsigned max_connections = 64;
// A request's head and body must arrive within this time of its first byte.
inline constexpr std::chrono::milliseconds request_time_limit{5000};
// An annotation the stream loop has not taken by then is refused (and
// never stored afterwards).
inline constexpr std::chrono::milliseconds annotation_time_limit{1000};

class view_server {
 public:
  // `setup_event` is sent first on every event stream (layout of the stream).
  view_server(event_hub& hub, annotation_inbox& inbox, std::string setup_event);
  ~view_server();  // stops

  // Binds `address:port` (port 0: a free one) and starts serving with a
  // fresh token. Throws std::runtime_error when the address cannot be bound.
  void start(const std::string& address, unsigned port);
  // Ends the event streams (each sends what is left, then closes its
  // connection), answers waiting annotations, then stops the server.
  void stop();

  unsigned port() const { return port_; }
  const std::string& token() const { return guard_->token(); }

  // The views of one session (a page per headset, and the page that shows
  // them side by side): the page files this server sends may frame, and be
  // framed by, these origins ("http://127.0.0.1:8001") and no others. Until
  // called, no page may be framed. Any thread.
  void allow_framing(const std::vector<std::string>& origins);

 private:
  friend struct server_callbacks;
  struct stream;
  struct annotation_wait;
  struct request_state;
  // Each returns false when the connection is to be dropped.
  bool route(MHD_Connection* c, const std::string& url, const std::string& method, request_state& r);
  bool open_stream(MHD_Connection* c);
  bool take_annotation(MHD_Connection* c, request_state& r);
  bool answer_annotation(MHD_Connection* c, request_state& r);
  // Runs until stop(): wakes the streams when there is news, refuses
  // annotations the stream loop did not take in time, enforces the deadline.
  void housekeeping();
  void housekeeping_pass(bool wake_streams, bool final_pass);

  event_hub& hub_;
  annotation_inbox& inbox_;
  std::string setup_event_;
  std::unique_ptr<request_guard> guard_;
  request_deadline deadline_{request_time_limit};
  MHD_Daemon* daemon_ = nullptr;
  unsigned port_ = 0;

  std::mutex mutex_;  // guards the lists below and the streams' and waits' states
  std::vector<stream*> streams_;
  std::vector<std::shared_ptr<annotation_wait>> waits_;
  std::atomic<bool> stopping_{false};
  std::thread housekeeper_;

  std::string framing_origins() const;
  mutable std::mutex framing_mutex_;  // a leaf: guards framing_ alone
  std::string framing_;               // space-separated origins, "" for none
};

}  // namespace calyra::view
