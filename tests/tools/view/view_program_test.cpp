// calyra view end to end against virtual headsets: what the page receives
// matches the recording, the annotation box places annotations like
// standard input does, and an open (or stalled) page leaves the recording
// exactly as it is without one.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

#include "../bdf_reader.h"
#include "background_calyra.h"
#include "view/frame_codec.h"

namespace fs = std::filesystem;
using calyra::test::background_calyra;

namespace {

using namespace std::chrono_literals;

const char* const devices = "CY KESTREL 5,pace=fast;CY KESTREL 9";

struct address {
  unsigned port = 0;
  std::string token;
  std::string cookie() const { return "calyra_view_" + std::to_string(port) + "=" + token; }
};

address parse_url(const std::string& url) {
  address a;
  const std::size_t colon = url.find(':', 7);
  a.port = static_cast<unsigned>(std::stoul(url.substr(colon + 1)));
  a.token = url.substr(url.find("token=") + 6);
  return a;
}

// The event stream until its end event (or 30 s).
std::string read_stream(const address& a) {
  httplib::Client c("127.0.0.1", static_cast<int>(a.port));
  c.set_read_timeout(10s);
  std::string text;
  const auto started = std::chrono::steady_clock::now();
  c.Get("/events", {{"Cookie", a.cookie()}}, [&](const char* data, std::size_t n) {
    text.append(data, n);
    return text.find("event: end") == std::string::npos && std::chrono::steady_clock::now() - started < 30s;
  });
  return text;
}

std::vector<calyra::view::bucket_set> sample_frames(const std::string& text) {
  std::vector<calyra::view::bucket_set> out;
  const std::string head = "event: samples\ndata: ";
  for (std::size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
    const std::size_t start = at + head.size();
    calyra::view::bucket_set b;
    if (calyra::view::decode_samples(calyra::view::base64_decode(text.substr(start, text.find('\n', start) - start)), b)) {
      out.push_back(std::move(b));
    }
  }
  return out;
}

class view_program : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("calyra_view_" + std::to_string(getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<background_calyra> start(std::vector<std::string> args, const std::string& sub = "") {
    args.insert(args.begin(), "--virtual");
    return std::make_unique<background_calyra>(
        CALYRA_PROGRAM, args,
        std::vector<std::pair<std::string, std::string>>{{"CYCORE_VIRTUAL_DEVICES", devices}},
        (sub.empty() ? dir_ : dir_ / sub).string());
  }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

TEST_F(view_program, the_page_gets_the_recorded_samples_and_its_annotations_are_recorded) {
  auto calyra = start({"view", "CY KESTREL 9", "--seconds", "3", "--out", file("rec.bdf")});
  const std::string url = calyra->wait_for_url(15);
  ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << calyra->out() << calyra->err();
  const address a = parse_url(url);
  std::string events;
  std::thread reader([&] { events = read_stream(a); });
  std::this_thread::sleep_for(1s);
  httplib::Client c("127.0.0.1", static_cast<int>(a.port));
  auto posted = c.Post("/annotation", {{"Cookie", a.cookie()}}, "stimulus \xe2\x86\x92 left", "text/plain; charset=utf-8");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 202);
  EXPECT_EQ(c.Post("/annotation", "no token", "text/plain")->status, 403);
  reader.join();
  ASSERT_EQ(calyra->wait(20), 0) << calyra->out() << calyra->err();

  // Placed like a line from standard input, and in the file.
  EXPECT_NE(calyra->out().find("annotation \"stimulus \xe2\x86\x92 left\" at sample "), std::string::npos) << calyra->out();
  const auto rec = calyra::test::read_bdf(file("rec.bdf"));
  ASSERT_EQ(rec.annotations.size(), 1u);
  EXPECT_EQ(rec.annotations[0].text, "stimulus \xe2\x86\x92 left");
  EXPECT_GT(rec.annotations[0].onset_seconds, 0.3);
  EXPECT_LT(rec.annotations[0].onset_seconds, 3.0);
  EXPECT_NE(events.find("event: annotation\ndata: {\"sample\":"), std::string::npos);
  EXPECT_NE(events.find("\"text\":\"stimulus \xe2\x86\x92 left\"}"), std::string::npos);
  EXPECT_NE(events.find("event: spectrum"), std::string::npos);
  EXPECT_NE(events.find("\"grade\":\"noisy\",\"reason\":\"mains 50 Hz\""), std::string::npos);
  EXPECT_NE(events.find("event: end\ndata: {\"reason\":\"the stream is complete\"}"), std::string::npos);

  // Every bucket is the range of its two recorded samples (up to the
  // file's resolution), and together they cover the whole recording.
  ASSERT_EQ(rec.signals.size(), 4u);
  const std::size_t rows = rec.signals[0].samples.size();
  ASSERT_EQ(rows, 750u);
  std::vector<bool> seen(rows / 2);
  for (const auto& b : sample_frames(events)) {
    ASSERT_EQ(b.raw.size(), 4u);
    for (std::size_t i = 0; i < b.size(); ++i) {
      const std::size_t bucket = b.first_bucket + i;
      ASSERT_LT(bucket, seen.size());
      seen[bucket] = true;
      for (std::size_t ch = 0; ch < 4; ++ch) {
        const double x0 = rec.signals[ch].samples[2 * bucket], x1 = rec.signals[ch].samples[2 * bucket + 1];
        const double tolerance = rec.resolution(ch) + 1e-6 * std::abs(x0);
        EXPECT_NEAR(b.raw[ch][2 * i], std::min(x0, x1), tolerance) << "bucket " << bucket;
        EXPECT_NEAR(b.raw[ch][2 * i + 1], std::max(x0, x1), tolerance) << "bucket " << bucket;
      }
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0);
}

TEST_F(view_program, an_open_and_a_stalled_page_leave_the_recording_as_it_is_without_them) {
  auto plain = start({"stream", "CY KESTREL 5", "--seconds", "300", "--out", file("plain.bdf")});
  ASSERT_EQ(plain->wait(60), 0) << plain->err();

  fs::create_directories(dir_ / "viewed");
  auto viewed = start({"stream", "CY KESTREL 5", "--seconds", "300", "--out", file("viewed.bdf"), "--view", "--port", "0"},
                      "viewed");
  const std::string url = viewed->wait_for_url(15);
  ASSERT_FALSE(url.empty()) << viewed->err();
  const address a = parse_url(url);
  // A page that asks for the stream and never reads it, with a receive
  // buffer so small that the server's writes to it block at once...
  const int stalled = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 1024;
  setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(a.port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(stalled, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(a.port) +
                              "\r\nCookie: " + a.cookie() + "\r\n\r\n";
  (void)!send(stalled, request.data(), request.size(), MSG_NOSIGNAL);
  // ...and one that reads along.
  const std::string events = read_stream(a);
  ASSERT_EQ(viewed->wait(60), 0) << viewed->err();
  close(stalled);
  EXPECT_NE(events.find("event: end"), std::string::npos);

  const auto expected = calyra::test::read_bdf(file("plain.bdf"));
  const auto got = calyra::test::read_bdf(file("viewed.bdf"));
  ASSERT_EQ(got.signals.size(), expected.signals.size());
  for (std::size_t s = 0; s < got.signals.size(); ++s) {
    ASSERT_EQ(got.signals[s].samples.size(), 300u * 250u);
    EXPECT_TRUE(got.signals[s].samples == expected.signals[s].samples) << got.signals[s].label;
  }
  EXPECT_NE(viewed->out().find("Missed packets  0 (0 samples filled)"), std::string::npos) << viewed->out();
}

TEST_F(view_program, view_options_are_checked_and_a_busy_port_is_reported) {
  auto first = start({"view", "CY KESTREL 9", "--seconds", "2"});
  const std::string url = first->wait_for_url(15);
  ASSERT_FALSE(url.empty()) << first->err();
  fs::create_directories(dir_ / "second");
  auto second = start({"view", "CY KESTREL 9", "--port", std::to_string(parse_url(url).port)}, "second");
  EXPECT_EQ(second->wait(20), 1);
  EXPECT_NE(second->err().find("calyra: error: live view: cannot listen on 127.0.0.1 port"), std::string::npos)
      << second->err();
  EXPECT_EQ(first->wait(20), 0) << first->err();

  fs::create_directories(dir_ / "third");
  auto third = start({"stream", "CY KESTREL 5", "--port", "8080"}, "third");
  EXPECT_EQ(third->wait(20), 2);
  EXPECT_NE(third->err().find("--port: needs --view"), std::string::npos) << third->err();
}

}  // namespace
