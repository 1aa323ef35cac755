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
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "../bdf_reader.h"
#include "background_calyra.h"
#include "view/frame_codec.h"

namespace fs = std::filesystem;
using calyra::test::background_calyra;

namespace {

using namespace std::chrono_literals;

const char* const devices = "CY KESTREL 5,pace=fast;CY KESTREL 9;CY KESTREL 7";

struct address {
  unsigned port = 0;
  std::string token;
  httplib::Headers header() const { return {{"X-Calyra-Token", token}}; }
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
  c.Get("/events", a.header(), [&](const char* data, std::size_t n) {
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

int connect_to(unsigned port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Peak resident memory of process `pid`, in KiB.
long peak_memory_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
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
  auto posted = c.Post("/annotation", a.header(), "stimulus \xe2\x86\x92 left", "text/plain; charset=utf-8");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 200);
  EXPECT_NE(posted->body.find("\"stored\":true"), std::string::npos) << posted->body;
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

// Several headsets: a page each, and a line typed into one goes into every
// recording.
TEST_F(view_program, each_headset_gets_its_page_and_a_line_typed_into_one_goes_to_all) {
  auto calyra = start({"view", "CY KESTREL 9", "CY KESTREL 7", "--seconds", "3", "--out", file("rec.bdf")});
  ASSERT_FALSE(calyra->wait_for_url(15).empty()) << calyra->err();
  std::vector<address> pages;
  for (int tries = 0; tries < 200 && pages.size() < 2; ++tries) {
    pages.clear();
    const std::string text = calyra->out();
    for (std::size_t at = text.find("Live view: "); at != std::string::npos; at = text.find("Live view: ", at + 1)) {
      pages.push_back(parse_url(text.substr(at + 11, text.find('\n', at) - at - 11)));
    }
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(pages.size(), 2u) << calyra->out();
  EXPECT_NE(pages[0].port, pages[1].port);
  // The page of both names both pages; they may frame each other, and
  // nothing else may frame them.
  const std::string text = calyra->out();
  const std::string marker = "Live view of every headset: http://127.0.0.1:" + std::to_string(pages[0].port) +
                             "/headsets.html#";
  const std::size_t both = text.find(marker);
  ASSERT_NE(both, std::string::npos) << text;
  for (const address& p : pages) {
    EXPECT_NE(text.find(std::to_string(p.port) + "=" + p.token, both), std::string::npos) << text;
    httplib::Client page("127.0.0.1", static_cast<int>(p.port));
    const auto got = page.Get("/headsets.html");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->status, 200);
    const std::string policy = got->get_header_value("Content-Security-Policy");
    EXPECT_NE(policy.find("frame-ancestors http://127.0.0.1:" + std::to_string(pages[0].port) +
                          " http://127.0.0.1:" + std::to_string(pages[1].port)),
              std::string::npos)
        << policy;
  }
  std::this_thread::sleep_for(1s);
  httplib::Client c("127.0.0.1", static_cast<int>(pages[1].port));
  auto posted = c.Post("/annotation", pages[1].header(), "both", "text/plain; charset=utf-8");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 200);
  ASSERT_EQ(calyra->wait(20), 0) << calyra->out() << calyra->err();
  for (const char* name : {"rec_CY-KESTREL-9.bdf", "rec_CY-KESTREL-7.bdf"}) {
    const auto rec = calyra::test::read_bdf(file(name));
    ASSERT_EQ(rec.annotations.size(), 1u) << name;
    EXPECT_EQ(rec.annotations[0].text, "both");
  }
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
                              "\r\nX-Calyra-Token: " + a.token + "\r\n\r\n";
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

TEST_F(view_program, a_header_flood_and_slow_headers_neither_starve_the_page_nor_hold_memory) {
  // Under AddressSanitizer freed memory waits in a quarantine (256 MiB by
  // default) before reuse; a small one keeps the measure about the program.
  const char* asan = std::getenv("ASAN_OPTIONS");
  auto calyra = std::make_unique<background_calyra>(
      CALYRA_PROGRAM,
      std::vector<std::string>{"--virtual", "view", "CY KESTREL 9", "--seconds", "11", "--out", file("rec.bdf")},
      std::vector<std::pair<std::string, std::string>>{
          {"CYCORE_VIRTUAL_DEVICES", devices},
          {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=1"}},
      dir_.string());
  const std::string url = calyra->wait_for_url(15);
  ASSERT_FALSE(url.empty()) << calyra->err();
  const address a = parse_url(url);
  std::this_thread::sleep_for(500ms);
  const long memory_before = peak_memory_kib(calyra->pid());

  // A page reading along: the gaps between its events while under attack.
  const auto started = std::chrono::steady_clock::now();
  std::atomic<bool> attacking{true};
  double longest_gap = 0;
  std::string events;
  std::thread page([&] {
    httplib::Client c("127.0.0.1", static_cast<int>(a.port));
    c.set_read_timeout(10s);
    auto last = std::chrono::steady_clock::now();
    c.Get("/events", a.header(), [&](const char* data, std::size_t n) {
      if (attacking && seconds_since(started) > 0.5) longest_gap = std::max(longest_gap, seconds_since(last));
      last = std::chrono::steady_clock::now();
      events.append(data, n);
      return events.find("event: end") == std::string::npos;
    });
  });
  // Eight sockets sending their request head a byte a second: each is cut
  // off at the request deadline.
  std::vector<double> slow_closed_after(8, -1);
  std::thread slow([&] {
    std::vector<int> fds;
    for (int i = 0; i < 8; ++i) fds.push_back(connect_to(a.port));
    const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(a.port) + "\r\nX-Slow: ";
    for (std::size_t at = 0; attacking && seconds_since(started) < 8; ++at) {
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (slow_closed_after[i] >= 0) continue;
        const char byte = at < head.size() ? head[at] : 'a';
        char answer[256];
        if (send(fds[i], &byte, 1, MSG_NOSIGNAL) != 1 || recv(fds[i], answer, sizeof answer, MSG_DONTWAIT) == 0) {
          slow_closed_after[i] = seconds_since(started);
        }
      }
      std::this_thread::sleep_for(1s);
    }
    for (int fd : fds) close(fd);
  });
  // Connection after connection sending header lines without end.
  std::uint64_t flooded = 0;
  std::thread flood([&] {
    std::string lines;
    for (int i = 0; i < 8192; ++i) lines += "X-A: b\r\n";
    while (attacking) {
      const int fd = connect_to(a.port);
      if (fd < 0) continue;
      const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(a.port) + "\r\n";
      (void)!send(fd, head.data(), head.size(), MSG_NOSIGNAL);
      for (ssize_t n; attacking && (n = send(fd, lines.data(), lines.size(), MSG_NOSIGNAL)) > 0;) flooded += static_cast<std::uint64_t>(n);
      close(fd);
    }
  });

  // Meanwhile the page and an annotation are served on time.
  std::this_thread::sleep_for(3s);
  httplib::Client c("127.0.0.1", static_cast<int>(a.port));
  c.set_connection_timeout(2s);
  c.set_read_timeout(2s);
  auto asked = std::chrono::steady_clock::now();
  auto page_file = c.Get("/");
  const double page_seconds = seconds_since(asked);
  asked = std::chrono::steady_clock::now();
  auto posted = c.Post("/annotation", a.header(), "under attack", "text/plain");
  const double annotation_seconds = seconds_since(asked);
  std::this_thread::sleep_for(4s);
  const long memory_during = peak_memory_kib(calyra->pid());
  attacking = false;
  slow.join();
  flood.join();
  page.join();
  ASSERT_EQ(calyra->wait(20), 0) << calyra->err();

  std::cout << "flood " << flooded / (1024 * 1024) << " MiB; peak memory " << memory_before << " -> " << memory_during
            << " KiB; page " << page_seconds << " s, annotation " << annotation_seconds << " s, longest gap "
            << longest_gap << " s" << std::endl;
  ASSERT_TRUE(page_file);
  EXPECT_EQ(page_file->status, 200);
  EXPECT_LT(page_seconds, 0.5);
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 200) << posted->body;
  EXPECT_LT(annotation_seconds, 0.5);
  EXPECT_LT(longest_gap, 1.0);
  for (double t : slow_closed_after) {
    EXPECT_GE(t, 4.0);
    EXPECT_LE(t, 7.0);
  }
  // The flood went on for seconds; what it made the program hold stays
  // within the connections' capped memory and a margin.
  EXPECT_GT(flooded, 10u * 1024 * 1024);
  EXPECT_LT(memory_during - memory_before, 16 * 1024) << memory_before << " KiB before, " << memory_during << " KiB peak";
  const auto rec = calyra::test::read_bdf(file("rec.bdf"));
  ASSERT_EQ(rec.annotations.size(), 1u);
  EXPECT_EQ(rec.annotations[0].text, "under attack");
  EXPECT_NE(events.find("event: end"), std::string::npos);
}

TEST_F(view_program, the_program_exits_within_half_a_second_of_the_end_with_pages_open) {
  auto calyra = start({"view", "CY KESTREL 9", "--seconds", "2"});
  const std::string url = calyra->wait_for_url(15);
  ASSERT_FALSE(url.empty()) << calyra->err();
  const address a = parse_url(url);
  // Two pages streaming, and one kept-alive connection left idle.
  std::vector<std::chrono::steady_clock::time_point> end_seen(2), closed(2);
  std::vector<std::thread> pages;
  for (int i = 0; i < 2; ++i) {
    pages.emplace_back([&, i] {
      httplib::Client c("127.0.0.1", static_cast<int>(a.port));
      c.set_read_timeout(10s);
      std::string text;
      c.Get("/events", a.header(), [&](const char* data, std::size_t n) {
        text.append(data, n);
        if (text.find("event: end") != std::string::npos && end_seen[i] == std::chrono::steady_clock::time_point{}) {
          end_seen[i] = std::chrono::steady_clock::now();
        }
        return true;
      });
      closed[i] = std::chrono::steady_clock::now();
    });
  }
  httplib::Client idle("127.0.0.1", static_cast<int>(a.port));
  idle.set_keep_alive(true);
  ASSERT_EQ(idle.Get("/")->status, 200);
  ASSERT_EQ(calyra->wait(20), 0) << calyra->err();
  const auto exited = std::chrono::steady_clock::now();
  for (auto& p : pages) p.join();
  for (int i = 0; i < 2; ++i) {
    ASSERT_NE(end_seen[i], std::chrono::steady_clock::time_point{}) << "page " << i;
    EXPECT_LT(std::chrono::duration<double>(exited - end_seen[i]).count(), 0.5) << "page " << i;
    // The stream closed with its end, not when the program went away.
    EXPECT_LT(std::chrono::duration<double>(closed[i] - end_seen[i]).count(), 0.1) << "page " << i;
  }
}

TEST_F(view_program, open_hands_xdg_open_a_private_redirect_file_and_never_the_token) {
  fs::create_directories(dir_ / "bin");
  fs::create_directories(dir_ / "run");
  fs::permissions(dir_ / "run", fs::perms::owner_all);
  // A stand-in for xdg-open noting its arguments and what it was handed.
  const std::string log = file("xdg-open.log");
  {
    std::ofstream script(dir_ / "bin" / "xdg-open");
    script << "#!/bin/sh\n{ echo \"$*\"; stat -c %a \"$1\"; cat \"$1\"; } > '" << log << "'\n";
  }
  fs::permissions(dir_ / "bin" / "xdg-open", fs::perms::owner_all);
  auto calyra = std::make_unique<background_calyra>(
      CALYRA_PROGRAM, std::vector<std::string>{"--virtual", "view", "CY KESTREL 9", "--seconds", "2", "--open"},
      std::vector<std::pair<std::string, std::string>>{
          {"CYCORE_VIRTUAL_DEVICES", devices},
          {"PATH", (dir_ / "bin").string() + ":" + std::getenv("PATH")},
          {"XDG_RUNTIME_DIR", (dir_ / "run").string()}},
      dir_.string());
  const std::string url = calyra->wait_for_url(15);
  ASSERT_FALSE(url.empty()) << calyra->err();
  const std::string token = parse_url(url).token;
  for (int i = 0; i < 200 && !fs::exists(log); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(calyra->wait(20), 0) << calyra->err();
  std::ifstream in(log);
  std::string args, mode, page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream lines(page);
  std::getline(lines, args);
  std::getline(lines, mode);
  EXPECT_EQ(args.find(token), std::string::npos) << args;
  EXPECT_EQ(args.rfind((dir_ / "run").string() + "/", 0), 0u) << args;
  EXPECT_EQ(mode, "600");
  EXPECT_NE(page.find("url=" + url + "\""), std::string::npos) << page;
  // Removed when the program ends.
  EXPECT_FALSE(fs::exists(args));
  EXPECT_TRUE(fs::is_empty(dir_ / "run"));
}

}  // namespace
