// The view's HTTP server in this process: who gets in, malformed and
// oversized requests, the event stream against the rows fed in, the
// annotation box, and a stalled browser.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <sstream>
#include <thread>

#include "view/frame_codec.h"
#include "view/live_view.h"

namespace calyra::view {
namespace {

using namespace std::chrono_literals;

double value_of(std::size_t ch, std::uint64_t row) {
  return 100.0 * static_cast<double>(ch + 1) + 30.0 * std::sin(static_cast<double>(row) * 0.3 + static_cast<double>(ch));
}

recording::sample_block block_of(std::uint64_t first, std::size_t n, std::size_t channels) {
  // Column 0 is not an electrode, so the view must pick its columns.
  recording::sample_block b;
  b.reset(channels + 1);
  for (std::size_t i = 0; i < n; ++i) {
    b.sample_numbers.push_back(first + i);
    b.streaming.push_back(1);
    b.signals[0].push_back(-1.0);
    for (std::size_t ch = 0; ch < channels; ++ch) b.signals[ch + 1].push_back(value_of(ch, first + i));
  }
  return b;
}

view_layout layout_of(std::size_t channels) {
  view_layout l;
  for (std::size_t ch = 0; ch < channels; ++ch) {
    l.labels.push_back("E" + std::to_string(ch + 1));
    l.electrode_signals.push_back(ch + 1);
  }
  l.rate_hz = 250;
  l.device = "test headset";
  return l;
}

// Sends `request` as it is and returns the answer's head (what came back
// until the blank line after the headers, the server closing, or 3 s).
std::string raw_exchange(unsigned port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return "connect failed";
  }
  (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; answer.find("\r\n\r\n") == std::string::npos && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

class view_server_test : public ::testing::Test {
 protected:
  void SetUp() override {
    view_ = std::make_unique<live_view>(view_settings{true, 0, "127.0.0.1", false}, layout_of(channels));
    port_ = view_->port();
    const std::string url = view_->url();
    token_ = url.substr(url.find("token=") + 6);
    ASSERT_EQ(url, "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + token_);
  }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", static_cast<int>(port_));
    c.set_read_timeout(5s);
    return c;
  }
  httplib::Headers with_token() const { return {{"X-Calyra-Token", token_}}; }

  // Feeds `rows` rows in chunks, paced so that the worker keeps up.
  void feed(std::uint64_t first, std::size_t rows) {
    for (std::size_t done = 0; done < rows; done += 25) {
      view_->rows_accepted(block_of(first + done, std::min<std::size_t>(25, rows - done), channels));
      std::this_thread::sleep_for(10ms);  // 2.5 times real time: the tap holds 2 s
    }
  }

  static constexpr std::size_t channels = 3;
  std::unique_ptr<live_view> view_;
  unsigned port_ = 0;
  std::string token_;
};

TEST_F(view_server_test, the_stream_and_the_box_need_the_token_and_nothing_goes_to_a_foreign_host) {
  httplib::Client c = client();
  for (const char* path : {"/events", "/annotation", "/nothing"}) {
    auto r = c.Get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, 403) << path;
  }
  auto posted = c.Post("/annotation", "sneaky", "text/plain");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 403);
  // A cookie holding the token counts for nothing (browsers send cookies to
  // every port of a host), and none is ever set.
  const httplib::Headers cookie{{"Cookie", "calyra_view_" + std::to_string(port_) + "=" + token_}};
  EXPECT_EQ(c.Get("/events", cookie)->status, 403);

  // The page's files hold nothing secret: they load without the token,
  // which the page then sends itself.
  auto page = c.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<canvas id=\"spectrum\""), std::string::npos);
  EXPECT_FALSE(page->has_header("Set-Cookie"));
  EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
  auto script = c.Get("/view.js");
  ASSERT_TRUE(script);
  EXPECT_EQ(script->status, 200);
  EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
  EXPECT_EQ(c.Get("/nothing", with_token())->status, 404);

  // A page rebinding its own name here sends that name, token or not.
  for (const char* path : {"/", "/events"}) {
    httplib::Headers foreign = with_token();
    foreign.emplace("Host", "evil.example:" + std::to_string(port_));
    EXPECT_EQ(c.Get(path, foreign)->status, 403) << path;
  }
  httplib::Headers other_site = with_token();
  other_site.emplace("Origin", "http://evil.example");
  EXPECT_EQ(c.Post("/annotation", other_site, "sneaky", "text/plain")->status, 403);
  int placed = 0;
  view_->place_annotation_requests([&](const annotation_request&) { return annotation_outcome{true, std::to_string(++placed)}; });
  EXPECT_EQ(placed, 0);
}

TEST_F(view_server_test, malformed_and_oversized_requests_get_4xx) {
  const std::string token = "X-Calyra-Token: " + token_ + "\r\n";
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
  // Not HTTP at all: refused, or dropped without an answer.
  const std::string garbage = raw_exchange(port_, "GARBAGE\r\n\r\n");
  EXPECT_TRUE(garbage.empty() || garbage.substr(0, 12) == "HTTP/1.1 400") << garbage;
  const std::string close = "Connection: close\r\n";
  EXPECT_EQ(raw_exchange(port_, "POST /annotation HTTP/1.1\r\n" + host + close + "Content-Length: x\r\n" + token + "\r\n")
                .substr(0, 12),
            "HTTP/1.1 400");
  EXPECT_EQ(raw_exchange(port_, "GET /?" + std::string(20000, 'a') + " HTTP/1.1\r\n" + host + close + token + "\r\n").substr(0, 12),
            "HTTP/1.1 414");
  EXPECT_EQ(raw_exchange(port_, "POST /annotation HTTP/1.1\r\n" + host + close + token +
                                    "Content-Type: text/plain\r\nContent-Length: 100000\r\n\r\n" +
                                    std::string(100000, 'a'))
                .substr(0, 12),
            "HTTP/1.1 413");
  // Header lines beyond the connection's memory, or too many of them.
  std::string flood;
  for (int i = 0; i < 4000; ++i) flood += "X-A: b\r\n";
  EXPECT_EQ(raw_exchange(port_, "GET / HTTP/1.1\r\n" + host + close + flood + "\r\n").substr(0, 12), "HTTP/1.1 431");
  EXPECT_EQ(raw_exchange(port_, "GET / HTTP/1.1\r\n" + host + close + flood.substr(0, 8 * 70) + "\r\n").substr(0, 12),
            "HTTP/1.1 431");
  // Two Host headers leave it open which one counts.
  EXPECT_EQ(raw_exchange(port_, "GET / HTTP/1.1\r\n" + host + "Host: evil.example\r\n" + token + "Connection: close\r\n\r\n")
                .substr(0, 12),
            "HTTP/1.1 403");
  httplib::Client c = client();
  for (const std::string& body : {std::string(), std::string("two\nlines"), std::string("\xff\xfe"),
                                 std::string(max_annotation_bytes + 1, 'a')}) {
    auto r = c.Post("/annotation", with_token(), body, "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << body;
  }
  // The server is still there.
  EXPECT_EQ(c.Get("/", with_token())->status, 200);
}

// Reads the event stream until `enough` says so (or 10 s pass).
std::string read_events(httplib::Client& c, const httplib::Headers& h,
                        const std::function<bool(const std::string&)>& enough) {
  std::string text;
  const auto started = std::chrono::steady_clock::now();
  c.Get("/events", h, [&](const char* data, std::size_t n) {
    text.append(data, n);
    return !enough(text) && std::chrono::steady_clock::now() - started < 10s;
  });
  return text;
}

// The data lines of the events named `name`.
std::vector<std::string> events_named(const std::string& text, const std::string& name) {
  std::vector<std::string> out;
  const std::string head = "event: " + name + "\ndata: ";
  for (std::size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
    const std::size_t start = at + head.size();
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    out.push_back(text.substr(start, end - start));
  }
  return out;
}

TEST_F(view_server_test, the_event_stream_decodes_to_the_samples_fed_in) {
  feed(0, 600);
  view_->annotation_placed(123, "eyes \"closed\"");
  display::stream_status st;
  st.samples = 600;
  st.electrodes = {{"E1", "good", ""}, {"E2", "noisy", "mains 50 Hz"}, {"E3", "bad", "flat"}};
  view_->publish_status(st, cy_battery_info{77, false, false});
  feed(600, 400);
  httplib::Client c = client();
  const std::string text = read_events(c, with_token(), [](const std::string& t) {
    return t.find("\"samples\":600") != std::string::npos && t.find("event: spectrum") != std::string::npos &&
           events_named(t, "samples").size() > 0 &&
           t.find("event: annotation") != std::string::npos;
  });
  ASSERT_EQ(text.rfind("retry: 1000\n\nevent: setup\n", 0), 0u) << text.substr(0, 200);
  EXPECT_NE(text.find("\"labels\":[\"E1\",\"E2\",\"E3\"]"), std::string::npos);
  EXPECT_NE(text.find("\"battery\":77"), std::string::npos);
  EXPECT_NE(text.find("{\"label\":\"E2\",\"grade\":\"noisy\",\"reason\":\"mains 50 Hz\"}"), std::string::npos);
  EXPECT_NE(text.find("{\"sample\":123,\"seconds\":0.492,\"text\":\"eyes \\\"closed\\\"\"}"), std::string::npos);

  // Consecutive frames from bucket 0 on, each bucket the range of its two samples.
  std::uint32_t next = 0;
  for (const std::string& data : events_named(text, "samples")) {
    bucket_set b;
    ASSERT_TRUE(decode_samples(base64_decode(data), b));
    ASSERT_EQ(b.first_bucket, next) << text.substr(0, 3000);
    ASSERT_EQ(b.raw.size(), channels);
    for (std::size_t i = 0; i < b.size(); ++i) {
      const std::uint64_t row = 2 * (b.first_bucket + i);
      for (std::size_t ch = 0; ch < channels; ++ch) {
        EXPECT_FLOAT_EQ(b.raw[ch][2 * i], static_cast<float>(std::min(value_of(ch, row), value_of(ch, row + 1))));
        EXPECT_FLOAT_EQ(b.raw[ch][2 * i + 1], static_cast<float>(std::max(value_of(ch, row), value_of(ch, row + 1))));
      }
    }
    next += static_cast<std::uint32_t>(b.size());
  }
  EXPECT_GE(next, 300u);
}

TEST_F(view_server_test, an_annotation_is_answered_once_placed_or_refused_and_then_never_placed) {
  httplib::Headers h = with_token();
  h.emplace("Origin", "http://127.0.0.1:" + std::to_string(port_));
  // A stream loop that takes requests every 20 ms, as the real one does.
  std::atomic<bool> taking{true}, done{false};
  std::vector<annotation_request> placed;
  std::thread loop([&] {
    while (!done) {
      if (taking) {
        view_->place_annotation_requests([&](const annotation_request& r) {
          placed.push_back(r);
          return annotation_outcome{true, "annotation \"" + r.text + "\" at sample 7"};
        });
      }
      std::this_thread::sleep_for(20ms);
    }
  });
  httplib::Client c = client();
  timespec before{};
  clock_gettime(CLOCK_MONOTONIC, &before);
  auto r = c.Post("/annotation", h, "blink \xc3\xa9", "text/plain; charset=utf-8");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "{\"stored\":true,\"message\":\"annotation \\\"blink \xc3\xa9\\\" at sample 7\"}");

  // A loop that takes nothing for longer than the limit: the request is
  // refused, and not placed when the loop comes back.
  taking = false;
  const auto asked = std::chrono::steady_clock::now();
  auto refused = c.Post("/annotation", h, "too late", "text/plain");
  const auto waited = std::chrono::steady_clock::now() - asked;
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  EXPECT_NE(refused->body.find("\"stored\":false"), std::string::npos);
  EXPECT_GE(waited, annotation_time_limit);
  EXPECT_LT(waited, annotation_time_limit + 1s);
  taking = true;
  std::this_thread::sleep_for(100ms);
  done = true;
  loop.join();
  ASSERT_EQ(placed.size(), 1u);
  EXPECT_EQ(placed[0].text, "blink \xc3\xa9");
  // Stamped with its arrival, not with the moment the loop took it.
  const std::int64_t before_ns = before.tv_sec * 1000000000LL + before.tv_nsec;
  EXPECT_GT(placed[0].arrival_ns, before_ns);
  EXPECT_LT(placed[0].arrival_ns, before_ns + 100000000);
}

TEST_F(view_server_test, a_stalled_browser_neither_holds_up_the_rows_nor_the_other_pages_nor_the_stop) {
  // A browser that opens the stream and then reads nothing, with a tiny
  // receive buffer so that the server's writes to it block at once.
  const int stalled = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 1024;
  setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(stalled, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                              "\r\nX-Calyra-Token: " + token_ + "\r\n\r\n";
  ASSERT_EQ(send(stalled, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));

  // Meanwhile a healthy page reads along, and rows arrive much faster than
  // real time: 20 minutes of signal, far more than the stalled socket holds.
  std::atomic<bool> done_feeding{false};
  std::string healthy;
  std::thread reader([&] {
    httplib::Client c = client();
    healthy = read_events(c, with_token(), [&](const std::string& t) {
      return done_feeding && t.find("event: end") != std::string::npos;
    });
  });
  const std::uint64_t rows = 250 * 60 * 20;
  for (std::uint64_t r = 0; r < rows; r += 250) view_->rows_accepted(block_of(r, 250, channels));
  done_feeding = true;
  const auto stop_started = std::chrono::steady_clock::now();
  view_->finish("test over");
  const double stop_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stop_started).count();
  reader.join();
  close(stalled);

  // The page saw the last rows and the end, though the tap dropped most
  // rows on the way (the worker takes them 20 times a second).
  bucket_set last;
  const auto frames = events_named(healthy, "samples");
  ASSERT_FALSE(frames.empty());
  ASSERT_TRUE(decode_samples(base64_decode(frames.back()), last));
  EXPECT_EQ(last.first_bucket + last.size(), rows / 2);
  EXPECT_NE(healthy.find("event: end\ndata: {\"reason\":\"test over\"}"), std::string::npos);
  // The stop does not wait for the stalled socket.
  EXPECT_LT(stop_seconds, 1.0);
}

TEST_F(view_server_test, a_port_in_use_is_reported) {
  EXPECT_THROW(live_view(view_settings{true, port_, "127.0.0.1", false}, layout_of(1)), std::runtime_error);
  EXPECT_THROW(live_view(view_settings{true, 0, "not an address", false}, layout_of(1)), std::runtime_error);
}

}  // namespace
}  // namespace calyra::view
