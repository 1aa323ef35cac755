#include "view/view_server.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "view/frame_codec.h"
#include "view/web_assets.h"

namespace calyra::view {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// An open event stream. Its reader runs on the server's event loop and must
// not wait: with nothing to send it parks its connection (suspends it), and
// the housekeeper wakes it when the hub has news.
struct view_server::stream {
  view_server* server = nullptr;
  MHD_Connection* connection = nullptr;
  std::uint64_t cursor = 0;
  std::string pending;  // what is not yet handed to the server
  std::size_t handed = 0;
  bool first = true;
  steady::time_point last_sent = steady::now();
  bool parked = false;  // guarded by the server's mutex
};

// An annotation request parked until the stream loop has placed it or the
// housekeeper has refused it.
struct view_server::annotation_wait {
  MHD_Connection* connection = nullptr;
  annotation_inbox::ticket ticket = 0;
  steady::time_point deadline;
  bool answered = false;  // these three guarded by the server's mutex
  bool woken = false;
  annotation_outcome outcome;
};

struct view_server::request_state {
  std::int64_t arrival_ns = 0;
  std::string body;
  bool body_too_large = false;
  std::shared_ptr<annotation_wait> wait;
};

namespace {

// Headers beyond this many are refused even when they fit in the
// connection's memory (a request from a browser has about fifteen).
constexpr unsigned max_headers = 64;
// A stream with nothing to say sends a comment this often, which also
// finds connections the browser has closed.
constexpr auto idle_comment_interval = 1s;
constexpr auto housekeeping_interval = 20ms;
constexpr auto stream_drain_time = 300ms;

std::int64_t monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::string header(MHD_Connection* c, const char* name) {
  const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
  return v == nullptr ? std::string() : std::string(v);
}

unsigned count_named(MHD_Connection* c, const char* name) {
  struct counter {
    const char* name;
    unsigned n = 0;
  } count{name};
  MHD_get_connection_values(
      c, MHD_HEADER_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char*) -> MHD_Result {
        auto* k = static_cast<counter*>(cls);
        if (strcasecmp(key, k->name) == 0) ++k->n;
        return MHD_YES;
      },
      &count);
  return count.n;
}

// `framing`: the origins a page may frame and be framed by ("" for none).
void add_common_headers(MHD_Response* r, const char* content_type, const std::string& framing = {}) {
  MHD_add_response_header(r, "Content-Type", content_type);
  MHD_add_response_header(r, "Cache-Control", "no-store");
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
  if (framing.empty()) {
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    MHD_add_response_header(r, "Content-Security-Policy",
                            "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    return;
  }
  const std::string policy =
      "default-src 'self'; img-src 'self' data:; frame-src " + framing + "; frame-ancestors " + framing;
  MHD_add_response_header(r, "Content-Security-Policy", policy.c_str());
}

bool send_response(MHD_Connection* c, unsigned status, MHD_Response* r) {
  const MHD_Result queued = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return queued == MHD_YES;
}

bool send_text(MHD_Connection* c, unsigned status, const std::string& text,
               const char* content_type = "text/plain; charset=utf-8") {
  MHD_Response* r = MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return false;
  add_common_headers(r, content_type);
  return send_response(c, status, r);
}

bool refuse(MHD_Connection* c, unsigned status, const std::string& why) { return send_text(c, status, why + "\n"); }

bool is_page_file(const std::string& url) {
  return url == "/" || url == "/index.html" || url == "/view.js" || url == "/view.css" || url == "/favicon.ico" ||
         url == "/headsets.html" || url == "/headsets.js";
}

int listen_socket(const std::string& address, unsigned port, unsigned& bound) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) return -1;
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // SO_REUSEADDR only: with SO_REUSEPORT a second program of the same user
  // could bind the same port and take over part of the connections.
  const int yes = 1;
  const bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                  bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, 64) == 0;
  freeaddrinfo(found);
  sockaddr_storage name{};
  socklen_t length = sizeof name;
  if (!ok || getsockname(fd, reinterpret_cast<sockaddr*>(&name), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  bound = ntohs(name.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&name)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&name)->sin_port);
  return fd;
}

}  // namespace

// The library's callbacks, with access to the server.
struct server_callbacks {
  static MHD_Result request(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                            const char* upload, std::size_t* upload_size, void** state) {
    auto& server = *static_cast<view_server*>(cls);
    auto* r = static_cast<view_server::request_state*>(*state);
    if (r == nullptr) {
      // The head is in: this is when the request arrived.
      r = new view_server::request_state;
      r->arrival_ns = monotonic_ns();
      *state = r;
      const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
      if (length != nullptr && std::strtoull(length, nullptr, 10) > max_request_body) {
        server.deadline_.arrived(c);
        return refuse(c, 413, "the request is too large") ? MHD_YES : MHD_NO;
      }
      return MHD_YES;
    }
    if (*upload_size > 0) {
      if (r->body.size() + *upload_size > max_request_body) {
        r->body_too_large = true;
      } else {
        r->body.append(upload, *upload_size);
      }
      *upload_size = 0;
      return MHD_YES;
    }
    if (r->wait) return server.answer_annotation(c, *r) ? MHD_YES : MHD_NO;
    server.deadline_.arrived(c);
    return server.route(c, url, method, *r) ? MHD_YES : MHD_NO;
  }

  static void completed(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode) {
    auto& server = *static_cast<view_server*>(cls);
    auto* r = static_cast<view_server::request_state*>(*state);
    if (r != nullptr && r->wait) {
      std::lock_guard<std::mutex> lock(server.mutex_);
      auto& waits = server.waits_;
      waits.erase(std::remove(waits.begin(), waits.end(), r->wait), waits.end());
      if (!r->wait->answered) server.inbox_.withdraw(r->wait->ticket);
    }
    delete r;
    *state = nullptr;
    // On a kept-alive connection the next request's clock starts now.
    server.deadline_.waiting(c, steady::now());
  }

  static void connection(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
    auto& server = *static_cast<view_server*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info != nullptr) server.deadline_.opened(c, info->connect_fd, steady::now());
    } else {
      server.deadline_.closed(c);
    }
  }

  static ssize_t read_stream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
    auto& s = *static_cast<view_server::stream*>(cls);
    view_server& server = *s.server;
    if (s.handed == s.pending.size()) {
      s.pending.clear();
      s.handed = 0;
      if (s.first) {
        // The page reconnects a second after a lost stream.
        s.pending = "retry: 1000\n\n" + server.setup_event_;
        s.first = false;
      }
      const event_hub::batch b = server.hub_.read(s.cursor, 0ms);
      s.cursor = b.cursor;
      if (b.skipped > 0) {
        s.pending += sse_event("dropped", std::to_string(b.skipped));
      }
      s.pending += b.text;
      if (s.pending.empty()) {
        if (b.closed) return MHD_CONTENT_READER_END_OF_STREAM;
        if (steady::now() - s.last_sent >= idle_comment_interval) {
          s.pending = ": idle\n\n";
        } else {
          std::lock_guard<std::mutex> lock(server.mutex_);
          s.parked = true;
          MHD_suspend_connection(s.connection);
          return 0;
        }
      }
    }
    const std::size_t n = std::min(max, s.pending.size() - s.handed);
    std::memcpy(buffer, s.pending.data() + s.handed, n);
    s.handed += n;
    s.last_sent = steady::now();
    return static_cast<ssize_t>(n);
  }

  static void end_stream(void* cls) {
    auto* s = static_cast<view_server::stream*>(cls);
    {
      std::lock_guard<std::mutex> lock(s->server->mutex_);
      auto& streams = s->server->streams_;
      streams.erase(std::remove(streams.begin(), streams.end(), s), streams.end());
    }
    delete s;
  }
};

view_server::view_server(event_hub& hub, annotation_inbox& inbox, std::string setup_event)
    : hub_(hub), inbox_(inbox), setup_event_(std::move(setup_event)) {}

view_server::~view_server() { stop(); }

void view_server::start(const std::string& address, unsigned port) {
  unsigned bound = 0;
  const int fd = listen_socket(address, port, bound);
  if (fd < 0) throw std::runtime_error("cannot listen on " + address + " port " + std::to_string(port));
  port_ = bound;
  guard_ = std::make_unique<request_guard>(make_token(), port_);
  daemon_ = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr,
      &server_callbacks::request, this,
      MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory,
      MHD_OPTION_CONNECTION_LIMIT, max_connections,
      // Idle connections, and streams to a browser that stopped reading.
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(request_time_limit.count() / 1000),
      MHD_OPTION_NOTIFY_COMPLETED, &server_callbacks::completed, this,
      MHD_OPTION_NOTIFY_CONNECTION, &server_callbacks::connection, this,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    close(fd);
    throw std::runtime_error("cannot serve on " + address + " port " + std::to_string(port_));
  }
  housekeeper_ = std::thread([this] { housekeeping(); });
}

void view_server::stop() {
  if (daemon_ == nullptr) return;
  hub_.close();
  // The streams send what is left (the end of the stream) and close; one
  // whose browser stopped reading is cut off by the daemon's stop.
  for (auto until = steady::now() + stream_drain_time; steady::now() < until;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (streams_.empty()) break;
    }
    std::this_thread::sleep_for(5ms);
  }
  stopping_ = true;
  if (housekeeper_.joinable()) housekeeper_.join();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

void view_server::housekeeping() {
  auto last_all = steady::now();
  std::uint64_t seen = hub_.published();
  while (!stopping_) {
    std::this_thread::sleep_for(housekeeping_interval);
    const auto now = steady::now();
    deadline_.enforce(now);
    const std::uint64_t published = hub_.published();
    const bool all = now - last_all >= idle_comment_interval || hub_.closed();
    if (all) last_all = now;
    housekeeping_pass(published != seen || all, false);
    seen = published;
  }
  housekeeping_pass(true, true);
}

void view_server::housekeeping_pass(bool wake_streams, bool final_pass) {
  const auto now = steady::now();
  // Resumed outside the lock (the library takes locks of its own); a parked
  // connection stays until it is resumed, and is resumed once.
  std::vector<MHD_Connection*> resume;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (stream* s : streams_) {
      if (!wake_streams || !s->parked) continue;
      s->parked = false;
      resume.push_back(s->connection);
    }
    for (const auto& w : waits_) {
      if (!w->answered && (final_pass || now >= w->deadline) && inbox_.withdraw(w->ticket)) {
        w->answered = true;
        w->outcome = {false, final_pass ? "the stream has ended" : "the recording did not take it in time: try again"};
      }
      if (w->answered && !w->woken) {
        w->woken = true;
        resume.push_back(w->connection);
      }
    }
  }
  for (MHD_Connection* c : resume) MHD_resume_connection(c);
}

void view_server::allow_framing(const std::vector<std::string>& origins) {
  std::string list;
  for (const std::string& o : origins) list += (list.empty() ? "" : " ") + o;
  const std::lock_guard lock(framing_mutex_);
  framing_ = std::move(list);
}

std::string view_server::framing_origins() const {
  const std::lock_guard lock(framing_mutex_);
  return framing_;
}

bool view_server::route(MHD_Connection* c, const std::string& url, const std::string& method, request_state& r) {
  if (MHD_get_connection_values(c, MHD_HEADER_KIND, nullptr, nullptr) > static_cast<int>(max_headers)) {
    return refuse(c, 431, "too many header lines");
  }
  request_facts f;
  f.method = method;
  // Several Host headers would leave it open which one counts.
  f.host = count_named(c, "Host") == 1 ? header(c, "Host") : std::string();
  f.origin = header(c, "Origin");
  f.token = header(c, token_header);
  if (f.token.empty()) {
    const char* query = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "token");
    if (query != nullptr) f.token = query;
  }
  switch (guard_->check(f, !is_page_file(url))) {
    case verdict::allowed: break;
    case verdict::bad_host: return refuse(c, 403, "unknown host");
    case verdict::bad_origin: return refuse(c, 403, "request from another site");
    case verdict::no_token: return refuse(c, 403, "open the address calyra printed (it holds the token)");
  }
  const bool get = method == "GET" || method == "HEAD";
  if (url == "/favicon.ico" && get) return send_text(c, 204, "");
  if (is_page_file(url) && get) {
    const web_asset* a = find_web_asset(url);
    if (a == nullptr) return refuse(c, 404, "not found");
    MHD_Response* res = MHD_create_response_from_buffer(a->size, const_cast<unsigned char*>(a->data), MHD_RESPMEM_PERSISTENT);
    if (res == nullptr) return false;
    add_common_headers(res, a->content_type, framing_origins());
    return send_response(c, 200, res);
  }
  if (url == "/events" && get) return open_stream(c);
  if (url == "/annotation" && method == "POST") return take_annotation(c, r);
  if (url == "/events" || url == "/annotation" || is_page_file(url)) return refuse(c, 405, "method not allowed");
  return refuse(c, 404, "not found");
}

bool view_server::open_stream(MHD_Connection* c) {
  auto s = std::make_unique<stream>();
  s->server = this;
  s->connection = c;
  s->cursor = hub_.start_cursor();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (streams_.size() >= static_cast<std::size_t>(max_event_streams)) {
      // Said on a stream of its own, so that the page can show it; the
      // browser asks again after the retry time.
      const std::string busy = "retry: 3000\n\n" + sse_event("busy", "{\"limit\":" + std::to_string(max_event_streams) + "}");
      return send_text(c, 200, busy, "text/event-stream");
    }
    streams_.push_back(s.get());
  }
  MHD_Response* res = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &server_callbacks::read_stream, s.get(),
                                                        &server_callbacks::end_stream);
  if (res == nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    streams_.erase(std::remove(streams_.begin(), streams_.end(), s.get()), streams_.end());
    return false;
  }
  s.release();  // end_stream frees it
  add_common_headers(res, "text/event-stream");
  // The end of the stream closes the connection: the browser is not left
  // waiting on it, nor the program on the browser.
  MHD_add_response_header(res, "Connection", "close");
  return send_response(c, 200, res);
}

bool view_server::take_annotation(MHD_Connection* c, request_state& r) {
  if (r.body_too_large) return refuse(c, 413, "the request is too large");
  const std::string problem = annotation_problem(r.body);
  if (!problem.empty()) return refuse(c, 400, problem);
  auto wait = std::make_shared<annotation_wait>();
  wait->connection = c;
  wait->deadline = steady::now() + annotation_time_limit;
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return refuse(c, 503, "the stream has ended");
  wait->ticket = inbox_.post({r.body, r.arrival_ns}, [this, wait](const annotation_outcome& o) {
    std::lock_guard<std::mutex> inner(mutex_);
    wait->outcome = o;
    wait->answered = true;
  });
  if (wait->ticket == 0) return refuse(c, 503, "annotations are not being taken: try again");
  // Parked until the stream loop has placed it or the housekeeper refuses it.
  waits_.push_back(wait);
  r.wait = wait;
  MHD_suspend_connection(c);
  return true;
}

bool view_server::answer_annotation(MHD_Connection* c, request_state& r) {
  annotation_outcome o;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    o = r.wait->outcome;
  }
  return send_text(c, o.stored ? 200 : 503,
                   "{\"stored\":" + std::string(o.stored ? "true" : "false") + ",\"message\":" + json_string(o.message) + "}",
                   "application/json");
}

}  // namespace calyra::view
