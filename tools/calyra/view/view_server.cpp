#include "view/view_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <stdexcept>

#include "view/frame_codec.h"
#include "view/web_assets.h"

namespace calyra::view {
namespace {

request_facts facts_of(const httplib::Request& req) {
  request_facts f;
  f.method = req.method;
  // Several Host headers would leave it open which one counts.
  f.host = req.get_header_value_count("Host") == 1 ? req.get_header_value("Host") : std::string();
  f.origin = req.get_header_value("Origin");
  f.query_token = req.get_param_value("token");
  f.cookie = req.get_header_value("Cookie");
  return f;
}

void refuse(httplib::Response& res, int status, const std::string& why) {
  res.status = status;
  res.set_content(why + "\n", "text/plain; charset=utf-8");
}

}  // namespace

view_server::view_server(event_hub& hub, annotation_inbox& inbox, std::string setup_event)
    : hub_(hub), inbox_(inbox), setup_event_(std::move(setup_event)) {}

view_server::~view_server() { stop(); }

void view_server::start(const std::string& address, unsigned port) {
  server_ = std::make_unique<httplib::Server>();
  // Event streams hold a thread each for as long as the page is open.
  server_->new_task_queue = [] { return new httplib::ThreadPool(max_event_streams + 4); };
  server_->set_payload_max_length(max_request_body);
  server_->set_read_timeout(std::chrono::seconds(5));
  // A browser that takes nothing for this long is stalled: its stream ends
  // (it reconnects by itself once it recovers), freeing the thread.
  server_->set_write_timeout(std::chrono::seconds(2));
  server_->set_keep_alive_timeout(2);
  // The library's default also sets SO_REUSEPORT, with which a second
  // program of the same user could bind the same port and take over part
  // of the connections (or a second view would start on a busy port).
  server_->set_socket_options([](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  int bound = 0;
  if (port == 0) {
    bound = server_->bind_to_any_port(address);
  } else if (server_->bind_to_port(address, static_cast<int>(port))) {
    bound = static_cast<int>(port);
  }
  if (bound <= 0) {
    server_.reset();
    throw std::runtime_error("cannot listen on " + address + " port " + std::to_string(port));
  }
  port_ = static_cast<unsigned>(bound);
  guard_ = std::make_unique<request_guard>(make_token(), port_);
  define_routes();
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only reaches a server that runs.
  for (int i = 0; i < 2000 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void view_server::stop() {
  if (!server_) return;
  hub_.close();
  // The streams send what is left (the end of the stream) and finish.
  for (int i = 0; i < 100 && streams_ > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

void view_server::define_routes() {
  httplib::Server& s = *server_;
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    switch (guard_->check(facts_of(req))) {
      case verdict::allowed: return httplib::Server::HandlerResponse::Unhandled;
      case verdict::allowed_set_cookie:
        res.set_header("Set-Cookie", guard_->set_cookie_value());
        return httplib::Server::HandlerResponse::Unhandled;
      case verdict::bad_host: refuse(res, 403, "unknown host"); break;
      case verdict::bad_origin: refuse(res, 403, "request from another site"); break;
      case verdict::no_token: refuse(res, 403, "open the address calyra printed (it holds the token)"); break;
    }
    return httplib::Server::HandlerResponse::Handled;
  });

  const auto serve_asset = [](const httplib::Request& req, httplib::Response& res) {
    const web_asset* a = find_web_asset(req.path);
    if (a == nullptr) return refuse(res, 404, "not found");
    res.set_content(reinterpret_cast<const char*>(a->data), a->size, a->content_type);
  };
  s.Get("/", serve_asset);
  s.Get("/index.html", serve_asset);
  s.Get("/view.js", serve_asset);
  s.Get("/view.css", serve_asset);
  s.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });

  s.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    if (++streams_ > max_event_streams) {
      --streams_;
      return refuse(res, 503, "too many open views");
    }
    auto cursor = std::make_shared<std::uint64_t>(hub_.start_cursor());
    auto first = std::make_shared<bool>(true);
    // Without a length and without chunked encoding: the stream simply
    // runs until the connection closes. The library's chunked writer shows
    // a data race under ThreadSanitizer as soon as two pages stream at once.
    res.set_content_provider(
        "text/event-stream",
        [this, cursor, first](std::size_t, httplib::DataSink& sink) {
          std::string out;
          if (*first) {
            // The page reconnects a second after a lost stream.
            out = "retry: 1000\n\n" + setup_event_;
            *first = false;
          }
          const event_hub::batch b = hub_.read(*cursor, std::chrono::milliseconds(500));
          *cursor = b.cursor;
          if (b.skipped > 0) {
            skipped_ += b.skipped;
            out += sse_event("dropped", std::to_string(b.skipped));
          }
          out += b.text;
          // A comment line keeps a quiet stream open and finds closed ones.
          if (out.empty() && !b.closed) out = ": idle\n\n";
          if (!out.empty() && !sink.write(out.data(), out.size())) return false;
          if (b.closed) sink.done();
          return true;
        },
        [this](bool) { --streams_; });
  });

  s.Post("/annotation", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string problem = annotation_problem(req.body);
    if (!problem.empty()) return refuse(res, 400, problem);
    if (!inbox_.post(req.body)) return refuse(res, 503, "annotations are not being taken: try again");
    res.status = 202;
    res.set_content("{\"queued\":true}", "application/json");
  });

  s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      res.set_content(std::to_string(res.status) + "\n", "text/plain; charset=utf-8");
    }
  });
}

}  // namespace calyra::view
