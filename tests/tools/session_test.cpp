// The stream session with a sink and an event source of the test's own,
// against an in-process virtual headset: what a new sink or source gets,
// and how a failing sink ends the run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "library/core_session.h"
#include "recording/recording_writer.h"
#include "session/stream_session.h"

namespace calyra {
namespace {

struct probe_record {
  std::vector<std::uint64_t> sample_numbers;
  std::vector<session::placed_event> events;
  std::vector<std::string> finished;  // stop reasons, one per finish()
  int ticks = 0;
};

class probe_sink final : public session::sink {
 public:
  // Fails at its fail_at-th block of rows, or with on_tick at its
  // fail_at-th tick (0: never).
  probe_sink(probe_record& r, int fail_at, bool on_tick = false) : r_(r), fail_at_(fail_at), on_tick_(on_tick) {}
  void rows(const recording::sample_block& rows) override {
    r_.sample_numbers.insert(r_.sample_numbers.end(), rows.sample_numbers.begin(), rows.sample_numbers.end());
    if (++blocks_ == fail_at_ && !on_tick_) throw session::sink_failure("the probe ran out of room");
  }
  void event(const session::placed_event& e) override { r_.events.push_back(e); }
  void tick() override {
    if (++r_.ticks == fail_at_ && on_tick_) throw session::sink_failure("the probe ran out of room");
  }
  void finish(const session::run_end& end) override { r_.finished.push_back(end.stop_reason); }
  std::string failure_reason() const override { return "the probe failed"; }

 private:
  probe_record& r_;
  int fail_at_;
  bool on_tick_;
  int blocks_ = 0;
};

class one_marker final : public session::event_source {
 public:
  explicit one_marker(std::vector<session::event_outcome>& outcomes) : outcomes_(outcomes) {}
  void deliver(const session::place_event& place) override {
    if (sent_) return;
    sent_ = true;
    outcomes_.push_back(place({123, "marker\x01", "probe"}));
  }

 private:
  std::vector<session::event_outcome>& outcomes_;
  bool sent_ = false;
};

class stream_session_test : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("CYCORE_VIRTUAL_DEVICES", "CY KESTREL 5,pace=fast", 1);
    setenv("CYCORE_VIRTUAL_SCAN_SCALE", "0.02", 1);
  }

  // Streams `seconds` (0: until the sink fails) into a probe sink.
  int run(double seconds, int fail_at, bool on_tick = false) {
    library::core_session core({true, ""}, {});
    session::stream_session s({seconds, 5.0, ""});
    session::headset_settings h;
    h.device = "CY KESTREL 5";
    h.seconds = seconds;
    session::headset_stream& headset = s.add_headset(h);
    headset.add_sink(std::make_unique<probe_sink>(record, fail_at, on_tick));
    s.add_source(std::make_unique<one_marker>(outcomes));
    ::testing::internal::CaptureStdout();
    struct restore {
      std::string& out;
      ~restore() { out = ::testing::internal::GetCapturedStdout(); }
    } keep{printed};
    return s.run();
  }

  probe_record record;
  std::vector<session::event_outcome> outcomes;
  std::string printed;
};

// A sink gets every kept row once, in order, cut at the length; the
// source's event lands on it cleaned and placed, and the source hears so.
TEST_F(stream_session_test, a_sink_and_a_source_plug_in_and_see_the_whole_run) {
  EXPECT_EQ(run(1.0, 0), 0);
  ASSERT_EQ(record.sample_numbers.size(), 250U);
  for (std::size_t i = 1; i < record.sample_numbers.size(); ++i) {
    ASSERT_EQ(record.sample_numbers[i], record.sample_numbers[i - 1] + 1) << i;
  }
  ASSERT_EQ(record.events.size(), 1U);
  EXPECT_EQ(record.events[0].text, "marker ");
  EXPECT_EQ(record.events[0].source, "probe");
  EXPECT_EQ(record.events[0].host_time_ns, 123);
  ASSERT_EQ(outcomes.size(), 1U);
  EXPECT_TRUE(outcomes[0].stored);
  EXPECT_NE(outcomes[0].message.find("at sample " + std::to_string(record.events[0].sample)), std::string::npos);
  EXPECT_EQ(record.finished, std::vector<std::string>{""});
  EXPECT_GT(record.ticks, 0);
  EXPECT_NE(printed.find("Annotations     1"), std::string::npos) << printed;
}

// A sink that fails, on rows or on its tick, ends a run that would go on
// until Ctrl-C: with its reason in the summary and its text as the error,
// still finished once.
TEST_F(stream_session_test, a_failing_sink_ends_the_run_with_its_reason) {
  for (const bool on_tick : {false, true}) {
    SCOPED_TRACE(on_tick ? "on tick" : "on rows");
    record = {};
    try {
      run(0.0, 3, on_tick);
      FAIL() << "the run went on";
    } catch (const recording::recording_error& e) {
      EXPECT_STREQ(e.what(), "the probe ran out of room");
    }
    EXPECT_EQ(record.finished, std::vector<std::string>{"the probe failed"});
    EXPECT_NE(printed.find("Summary (the probe failed)"), std::string::npos) << printed;
  }
}

}  // namespace
}  // namespace calyra
