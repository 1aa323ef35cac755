// A run that loses its link and gets it back, in process against a
// real-time virtual headset: the drops come at chosen moments, trigger
// pulses before and after each outage check that the gap in the recording
// is the outage's true length, and the recording keeps every sample in order.
#include <gtest/gtest.h>

#include <cycore_virtual.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "library/core_session.h"
#include "recording/recording_naming.h"
#include "session/stream_session.h"
#include "sinks/recording_sink.h"

namespace calyra {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct probe_rows {
  std::vector<std::uint64_t> numbers;
  std::vector<std::uint8_t> streaming;
  std::vector<double> e1;
  std::vector<session::placed_event> events;
};

class probe_sink final : public session::sink {
 public:
  explicit probe_sink(probe_rows& r) : r_(r) {}
  void rows(const recording::sample_block& rows) override {
    r_.numbers.insert(r_.numbers.end(), rows.sample_numbers.begin(), rows.sample_numbers.end());
    r_.streaming.insert(r_.streaming.end(), rows.streaming.begin(), rows.streaming.end());
    r_.e1.insert(r_.e1.end(), rows.signals[0].begin(), rows.signals[0].end());
  }
  void event(const session::placed_event& e) override { r_.events.push_back(e); }
  void finish(const session::run_end&) override {}
  std::string failure_reason() const override { return "the probe failed"; }

 private:
  probe_rows& r_;
};

std::int64_t now_ns();

// One mark, sent once its moment has come.
class mark_at final : public session::event_source {
 public:
  mark_at(std::int64_t host_time_ns, session::event_outcome& outcome) : at_(host_time_ns), outcome_(outcome) {}
  void deliver(const session::place_event& place) override {
    if (sent_ || now_ns() < at_) return;
    sent_ = true;
    outcome_ = place({now_ns(), "while away", "test"});
  }

 private:
  std::int64_t at_;
  session::event_outcome& outcome_;
  bool sent_ = false;
};

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// First rows of the +300 uV trigger pulses (the synthetic signal, without
// mains, stays within tens of microvolts).
std::vector<std::size_t> pulses(const probe_rows& r) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < r.e1.size(); ++i) {
    const bool high = r.streaming[i] != 0 && r.e1[i] > 200.0;
    if (high && (i == 0 || !(r.streaming[i - 1] != 0 && r.e1[i - 1] > 200.0))) starts.push_back(i);
  }
  return starts;
}

TEST(reconnect, three_outages_keep_every_sample_on_one_axis_with_each_gap_its_true_length) {
  setenv("CYCORE_VIRTUAL_DEVICES", "CY KESTREL 5,line=0", 1);
  setenv("CYCORE_VIRTUAL_SCAN_SCALE", "0.02", 1);
  const fs::path dir = fs::temp_directory_path() / ("calyra_reconnect_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string bdf = (dir / "r.bdf").string();
  constexpr double rate = 250.0;
  constexpr double seconds = 18.0;

  probe_rows rows;
  session::event_outcome away;
  std::vector<std::int64_t> fired;  // host times of the trigger calls
  std::string printed;
  std::string described_during;  // the sidecar before the third drop
  int status = -1;
  {
    library::core_session core({true, ""}, {});
    session::stream_session s({seconds, 5.0, bdf});
    session::headset_settings hs;
    hs.device = "CY KESTREL 5";
    hs.seconds = seconds;
    session::headset_stream& h = s.add_headset(hs);
    recording::out_path_naming naming(bdf);
    h.add_sink(std::make_unique<sinks::recording_sink>(
        h, std::make_unique<recording::recording_files>(naming.names_for(hs.device), true),
        sinks::recording_settings{}));
    h.add_sink(std::make_unique<probe_sink>(rows));
    // During the third outage (9.5 s to 12.5 s and the reconnect).
    s.add_source(std::make_unique<mark_at>(now_ns() + 11'000'000'000, away));
    // A trigger before each drop and one after each return (and its first
    // second of stream, while its clock is found).
    std::thread driver([&fired, &described_during, &dir] {
      const auto start = std::chrono::steady_clock::now();
      const auto at = [start](double s) { std::this_thread::sleep_until(start + std::chrono::duration<double>(s)); };
      const auto trigger = [&fired] {
        const std::int64_t before = now_ns();
        if (cy_virtual_trigger("CY KESTREL 5") == CY_OK) fired.push_back((before + now_ns()) / 2);
      };
      const double plan[3][3] = {{1.5, 2.0, 500}, {4.5, 5.0, 1500}, {9.0, 9.5, 3000}};
      for (const auto& p : plan) {
        at(p[0]);
        if (p[2] == 3000) {
          std::ifstream part(dir / "r.json.part");
          described_during.assign(std::istreambuf_iterator<char>(part), {});
        }
        trigger();
        at(p[1]);
        cy_virtual_drop_link_for("CY KESTREL 5", static_cast<unsigned>(p[2]));
      }
      at(16.0);
      trigger();
    });
    ::testing::internal::CaptureStdout();
    status = s.run();
    printed = ::testing::internal::GetCapturedStdout();
    driver.join();
  }
  ASSERT_EQ(status, 0) << printed;

  // One axis: every row numbered in order, nothing missing, nothing twice.
  ASSERT_FALSE(rows.numbers.empty());
  for (std::size_t i = 0; i < rows.numbers.size(); ++i) ASSERT_EQ(rows.numbers[i], i) << "row " << i;
  EXPECT_EQ(rows.numbers.size(), static_cast<std::size_t>(seconds * rate));

  // The triggers that fired while streaming are all in the file, each pair
  // as far apart as the host times of their calls (a pulse starts at the
  // first sample taken at or after its call).
  const std::vector<std::size_t> found = pulses(rows);
  ASSERT_EQ(found.size(), fired.size()) << printed;
  ASSERT_GE(found.size(), 4u);
  for (std::size_t i = 1; i < found.size(); ++i) {
    const double expected = static_cast<double>(fired[i] - fired[i - 1]) * 1e-9 * rate;
    const double got = static_cast<double>(found[i] - found[i - 1]);
    EXPECT_NEAR(got, expected, 1.5) << "pulses " << i - 1 << " and " << i;
  }

  // A mark made while the link was down is placed by host time, within the
  // outage's filled samples, and says so.
  ASSERT_EQ(rows.events.size(), 1u);
  EXPECT_NE(away.message.find("link down: placed by host time"), std::string::npos) << away.message;
  const auto at = static_cast<std::size_t>(rows.events[0].sample);
  ASSERT_LT(at, rows.streaming.size());
  EXPECT_EQ(rows.streaming[at], 0) << "mark at row " << at;

  // The sidecar lists the three outages, each as long as the drop asked
  // for (plus finding and connecting again), and the events table marks them.
  std::ifstream json_in(dir / "r.json");
  std::stringstream json;
  json << json_in.rdbuf();
  const std::string text = json.str();
  std::size_t outages = 0;
  for (auto at = text.find("\"reconnect_attempts\""); at != std::string::npos;
       at = text.find("\"reconnect_attempts\"", at + 1)) {
    ++outages;
  }
  EXPECT_EQ(outages, 3u) << text;
  // Each outage was described once it was over: a kill after the second
  // would have left both in the sidecar.
  EXPECT_NE(described_during.find("\"outages\": [{"), std::string::npos) << described_during;
  EXPECT_EQ(described_during.find("\"recovered\": false"), std::string::npos) << described_during;
  EXPECT_NE(described_during.find("\"recovered\": true}, {"), std::string::npos) << described_during;
  EXPECT_EQ(text.find("\"recovered\": false"), std::string::npos) << text;
  std::ifstream events_in(dir / "r_events.tsv");
  std::stringstream events;
  events << events_in.rdbuf();
  std::size_t marked = 0;
  for (auto at = events.str().find("BAD link lost"); at != std::string::npos;
       at = events.str().find("BAD link lost", at + 1)) {
    ++marked;
  }
  EXPECT_EQ(marked, 3u) << events.str();
  EXPECT_NE(printed.find("Link losses     3"), std::string::npos) << printed;
  fs::remove_all(dir);
}

// A headset driven as the session drives it, one pass at a time.
struct stepped_headset {
  library::core_session core{{true, ""}, {}};
  session::headset_stream h;

  explicit stepped_headset(session::headset_settings hs) : h(std::move(hs)) { h.open(); }
  // Passes for `how_long`; `look`: with the look after the link each pass.
  // Returns why the run must end, once that comes.
  std::string pass(std::chrono::milliseconds how_long, bool look = true) {
    const auto until = std::chrono::steady_clock::now() + how_long;
    while (std::chrono::steady_clock::now() < until) {
      h.take_rows(20ms);
      if (!look) continue;
      std::string why = h.look_after_link();
      if (!why.empty()) return why;
    }
    return {};
  }
};

session::headset_settings kestrel() {
  setenv("CYCORE_VIRTUAL_DEVICES", "CY KESTREL 5,line=0", 1);
  setenv("CYCORE_VIRTUAL_SCAN_SCALE", "0.02", 1);
  session::headset_settings hs;
  hs.device = "CY KESTREL 5";
  return hs;
}

// The new stream's first rows can come before the session has taken the
// finished attempt: they wait for their place like the rest, and the
// clock then speaks the recording's sample numbers.
TEST(reconnect, rows_that_come_before_the_attempt_is_taken_keep_the_axis) {
  probe_rows rows;
  stepped_headset s(kestrel());
  s.h.add_sink(std::make_unique<probe_sink>(rows));
  s.h.start();
  ASSERT_EQ(s.pass(1500ms), "");
  ASSERT_EQ(cy_virtual_drop_link_for("CY KESTREL 5", 0), CY_OK);
  for (int i = 0; i < 100 && !s.h.reconnecting(); ++i) ASSERT_EQ(s.pass(20ms), "");
  ASSERT_TRUE(s.h.reconnecting());
  ASSERT_EQ(s.pass(2000ms, false), "");  // the attempt connects and streams meanwhile
  ASSERT_EQ(s.pass(3000ms), "");
  ASSERT_FALSE(s.h.reconnecting());
  ASSERT_GT(rows.numbers.size(), 700u);
  for (std::size_t i = 0; i < rows.numbers.size(); ++i) ASSERT_EQ(rows.numbers[i], i) << "row " << i;
  const std::optional<double> now_at = s.h.clock().sample_at(now_ns());
  ASSERT_TRUE(now_at);
  EXPECT_NEAR(*now_at, static_cast<double>(rows.numbers.size()), 125.0);
  s.h.stop();
}

// A headset that connects and starts again but then sends nothing is not
// back: the attempt counts as failed, and the reconnect timeout ends it.
TEST(reconnect, a_stream_that_sends_nothing_after_a_reconnect_is_given_up) {
  session::headset_settings hs = kestrel();
  hs.reconnect_timeout = 2.0;
  stepped_headset s(hs);
  s.h.start();
  ASSERT_EQ(s.pass(1000ms), "");
  ASSERT_EQ(cy_virtual_drop_link_for("CY KESTREL 5", 300), CY_OK);
  ASSERT_EQ(cy_virtual_configure("CY KESTREL 5,line=0,loss=1"), CY_OK);  // back, but mute
  const std::string why = s.pass(15000ms);
  EXPECT_NE(why.find("did not come back within 2 s"), std::string::npos) << why;
  cy_virtual_reset();
}

}  // namespace
}  // namespace calyra
