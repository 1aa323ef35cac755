// Recordings on the host's clock, end to end: a line typed at a known
// moment, the CSV host times, the BDF start and the events file agree with
// the stream clock (a real-time virtual headset; the test's clocks are the
// program's: same machine).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "bdf_reader.h"
#include "program_fixture.h"

using namespace calyra::test;

namespace {

struct moment {
  double monotonic_s = 0.0;
  double wall_s = 0.0;  // since the epoch
};

constexpr double period = 1.0 / 250;
// A line is stamped when calyra's reading thread gets it, at once on an idle
// machine (within a sample); on a loaded one (the test suite in parallel,
// sanitizers) that thread may wait for a core for tens of milliseconds.
constexpr double reading_delay_allowance = 0.030;

double seconds_of(std::chrono::nanoseconds t) { return std::chrono::duration<double>(t).count(); }

// Types `line` once `after` is printed, and notes when (just after the write).
trigger type_line(const std::string& after, const std::string& line, moment& at) {
  return {after, line, false, false, [&at](pid_t) {
            at.monotonic_s = seconds_of(std::chrono::steady_clock::now().time_since_epoch());
            at.wall_s = seconds_of(std::chrono::system_clock::now().time_since_epoch());
          }};
}

struct event {
  double onset = -1.0;
  long long position = -1;
};

event find_event(const std::string& events_file, const std::string& text) {
  std::istringstream in(read_text(events_file));
  event e;
  for (std::string line; std::getline(in, line);) {
    // The description is the fourth cell, the source the fifth.
    if (line.find("\t" + text + "\t") != std::string::npos) {
      std::istringstream cells(line);
      std::string duration;
      cells >> e.onset >> duration >> e.position;
    }
  }
  return e;
}

// A real-time headset of 10-sample packets: 25 notifications a second
// give the clock a firm fit within the test's seconds.
run_result run_timed(const std::string& out, moment& typed) {
  run_request request;
  request.args = {"--virtual", "stream", "CY WREN 21", "--seconds", "3", "--out", out};
  request.env = {{"CYCORE_VIRTUAL_DEVICES", "CY WREN 21,model=2"}};
  request.triggers = {type_line("2.0 s / 3.0 s", "mark\n", typed)};
  return run_calyra(request);
}

}  // namespace

TEST_F(program, csv_rows_and_typed_lines_carry_the_stream_clock_time) {
  const std::string csv = file("timed.csv");
  moment typed;
  const run_result r = run_timed(csv, typed);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.out.find("\n  Clock           "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" ppm, jitter p99 "), std::string::npos) << r.out;

  // Every row is timed (rows wait for the clock at the start), a sample
  // period apart: each row is timed by the clock as it stood when the row
  // was written, and the fit of the first seconds may step by a few ms
  // where a packet arrived sooner than all before it.
  const auto rows = read_csv(csv);
  ASSERT_EQ(rows.size(), 751U);
  ASSERT_EQ(rows[0][2], "host_time_s");
  std::vector<double> host;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_FALSE(rows[i][2].empty()) << "row " << i;
    host.push_back(std::stod(rows[i][2]));
    if (host.size() > 1) {
      ASSERT_NEAR(host.back() - host[host.size() - 2], period, period) << "row " << i;
    }
  }
  EXPECT_NEAR((host.back() - host.front()) / 749, period, period * 0.005);

  // The line lands at the sample acquired when it was typed (by the clock,
  // ±1), and the events file, the CSV row and the onset agree.
  const event mark = find_event(file("timed_events.tsv"), "mark");
  ASSERT_GE(mark.position, 0) << read_text(file("timed_events.tsv"));
  EXPECT_NEAR(mark.onset, static_cast<double>(mark.position) / 250.0, 1e-6);
  ASSERT_LT(mark.position, static_cast<long long>(host.size()));
  EXPECT_EQ(rows[static_cast<std::size_t>(mark.position) + 1].back(), "mark");
  const double placed_late = host[static_cast<std::size_t>(mark.position)] - typed.monotonic_s;
  EXPECT_GE(placed_late, -1.5 * period) << "typed at " << typed.monotonic_s;
  EXPECT_LE(placed_late, 1.5 * period + reading_delay_allowance) << "typed at " << typed.monotonic_s;

  const std::string json = read_text(file("timed.json"));
  EXPECT_NE(json.find("\"start_time_source\": \"stream clock\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"clock\": {\"state\": \"settling\", \"drift_ppm\": "), std::string::npos) << json;
}

// A drifting headset whose packets come in bursts: the clock's first
// estimates improve by milliseconds, and the CSV's times must still move
// by one sample period from row to row, never stepping or going back.
TEST_F(program, csv_host_times_never_step_while_the_clock_settles) {
  const std::string csv = file("drift.csv");
  run_request request;
  request.args = {"--virtual", "stream", "CY WREN 21", "--seconds", "6", "--out", csv};
  request.env = {{"CYCORE_VIRTUAL_DEVICES", "CY WREN 21,model=2,clock_ppm=1500,interval_ms=30,delay_ms=3"}};
  const run_result r = run_calyra(request);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  const auto rows = read_csv(csv);
  ASSERT_EQ(rows.size(), 1501U);
  double previous = -1.0, widest = 0.0;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_FALSE(rows[i][2].empty()) << "row " << i;
    const double t = std::stod(rows[i][2]);
    if (previous >= 0.0) widest = std::max(widest, std::fabs(t - previous - period));
    previous = t;
  }
  // 0.1 ms, and the microsecond of the text on either side.
  EXPECT_LE(widest, 0.000102);
}

TEST_F(program, the_bdf_file_starts_when_its_first_sample_was_acquired) {
  const std::string bdf = file("timed.bdf");
  moment typed;
  const run_result r = run_timed(bdf, typed);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  const event mark = find_event(file("timed_events.tsv"), "mark");
  ASSERT_GE(mark.position, 0) << read_text(file("timed_events.tsv"));

  // The first sample was acquired `onset` before the line was typed.
  const bdf_contents rec = read_bdf(bdf);
  const double start = static_cast<double>(rec.start_second) + static_cast<double>(rec.start_subsecond) / 1e7;
  const double placed_late = start - (typed.wall_s - mark.onset);
  EXPECT_GE(placed_late, -1.5 * period);
  EXPECT_LE(placed_late, 1.5 * period + reading_delay_allowance);
  // NAME.json says the same, from the clock.
  const std::string json = read_text(file("timed.json"));
  EXPECT_NE(json.find("\"start_time_source\": \"stream clock\""), std::string::npos) << json;
  const std::size_t at = json.find("\"start_time\": \"");
  ASSERT_NE(at, std::string::npos) << json;
  std::tm utc{};
  int ms = 0;
  ASSERT_EQ(std::sscanf(json.c_str() + at + 15, "%d-%d-%dT%d:%d:%d.%dZ", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                        &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &ms),
            7);
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  EXPECT_NEAR(start, static_cast<double>(timegm(&utc)) + ms / 1000.0, 0.001) << json;
  bool found = false;
  for (const bdf_annotation& a : rec.annotations) {
    if (a.text != "mark") continue;
    found = true;
    EXPECT_NEAR(a.onset_seconds, mark.onset, 1e-4);
  }
  EXPECT_TRUE(found);
}
