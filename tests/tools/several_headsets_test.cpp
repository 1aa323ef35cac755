// `calyra stream` with several headsets, as a user runs it: one headset that
// is not there, one whose link drops while the others record, and Ctrl-C
// ending the session with a typed line placed on every recording.
#include <signal.h>

#include <cctype>
#include <chrono>
#include <thread>

#include "bdf_reader.h"
#include "program_fixture.h"

using namespace calyra::test;

namespace {

// One headset's entry in the session's FILE.json.
struct listed {
  std::string name;
  std::string rest;  // the entry's text after the name
};

std::vector<listed> headsets_in(const std::string& json) {
  std::vector<listed> out;
  const std::string head = "{\"name\": \"";
  for (std::size_t at = json.find(head); at != std::string::npos; at = json.find(head, at + 1)) {
    const std::size_t name_end = json.find('"', at + head.size());
    const std::size_t second_line = json.find('\n', name_end);
    out.push_back({json.substr(at + head.size(), name_end - at - head.size()),
                   json.substr(name_end + 1, json.find('\n', second_line + 1) - name_end - 1)});
  }
  return out;
}

std::string file_part(std::string name) {
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
  }
  return name;
}

double number_after(const std::string& text, const std::string& key) {
  const std::size_t at = text.find("\"" + key + "\": ");
  if (at == std::string::npos) return -1.0;
  return std::stod(text.substr(at + key.size() + 4));
}

long long position_of(const std::string& events_file, const std::string& text) {
  std::istringstream in(read_text(events_file));
  for (std::string line; std::getline(in, line);) {
    // onset, duration, sample, description, source
    if (line.find("\t" + text + "\t") != std::string::npos) {
      std::istringstream cells(line);
      double onset = 0.0;
      std::string duration;
      long long position = -1;
      cells >> onset >> duration >> position;
      return position;
    }
  }
  return -1;
}

}  // namespace

TEST_F(program, a_headset_that_is_not_there_ends_the_session_before_anything_is_recorded) {
  const run_result r = run({"stream", "CY KESTREL 5", "CY NOBODY 1", "--seconds", "1", "--out", file("s.bdf")});
  expect_failure(r, "CY NOBODY 1");
  EXPECT_TRUE(fs::is_empty(dir_)) << describe(r);

  // --allow-missing records the others and lists the missing one.
  const run_result kept = run({"stream", "CY KESTREL 5", "CY NOBODY 1", "--allow-missing", "--seconds", "1", "--out",
                               file("s.bdf")});
  ASSERT_EQ(kept.exit_code, 0) << describe(kept);
  EXPECT_NE(kept.err.find("CY NOBODY 1"), std::string::npos) << describe(kept);
  EXPECT_EQ(read_bdf(file("s_CY-KESTREL-5.bdf")).signals.front().samples.size(), 250U);
  EXPECT_FALSE(fs::exists(file("s_CY-NOBODY-1.bdf")));
  const std::vector<listed> entries = headsets_in(read_text(file("s.json")));
  ASSERT_EQ(entries.size(), 2U) << read_text(file("s.json"));
  EXPECT_EQ(entries[1].name, "CY NOBODY 1");
  EXPECT_EQ(entries[1].rest.find(", \"connected\": false, \"recording\": null"), 0U) << entries[1].rest;

  // Names match in any case: two spellings of one headset are refused.
  const run_result twice = run({"stream", "CY KESTREL 5", "cy kestrel 5", "--seconds", "1"});
  EXPECT_EQ(twice.exit_code, 2) << describe(twice);
  EXPECT_NE(twice.err.find("name one headset twice"), std::string::npos) << describe(twice);
}

// A run that ends badly while another headset's reconnect is still
// searching leaves without waiting for it, with the status it earned.
TEST_F(program, a_stall_during_another_headsets_reconnect_is_still_a_failure) {
  run_request request;
  request.args = {"stream", "CY GONE 1", "CY SILENT 2", "--seconds", "30", "--stall-timeout", "3"};
  request.env = {{"CYCORE_VIRTUAL_DEVICES", "CY GONE 1,drop_after=5,down_ms=600000;CY SILENT 2,loss=1"},
                 {"CYCORE_VIRTUAL_SCAN_SCALE", "1"}};
  const run_result r = run_with(request);
  EXPECT_EQ(r.exit_code, 1) << describe(r);
  EXPECT_NE(r.err.find("CY SILENT 2: "), std::string::npos) << describe(r);
}

// A second Ctrl-C while the headsets are still being connected removes
// every name reserved for them, however many there are.
TEST_F(program, a_second_interrupt_while_connecting_leaves_no_reserved_file) {
  run_request request;
  request.args = {"stream", "CY KESTREL 5", "CY FINCH 2", "CY NOBODY 1", "--seconds", "5", "--out", file("s.bdf")};
  request.env = {{"CYCORE_VIRTUAL_SCAN_SCALE", "1"}};
  request.triggers = {{"", "", false, false, [](pid_t pid) {
                         std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                         ::kill(pid, SIGINT);
                         std::this_thread::sleep_for(std::chrono::milliseconds(100));
                         ::kill(pid, SIGINT);
                       }}};
  const run_result r = run_with(request);
  EXPECT_EQ(r.exit_code, 130) << describe(r);
  EXPECT_TRUE(fs::is_empty(dir_)) << describe(r);
}

TEST_F(program, a_headset_that_drops_ends_its_own_recording_and_the_others_go_on) {
  const run_result r = run({"stream", "CY DROP 11", "CY KESTREL 5", "--seconds", "8", "--out", file("s.bdf"),
                            "--reconnect-timeout", "0"});
  EXPECT_NE(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.err.find("the link to CY DROP 11 dropped"), std::string::npos) << describe(r);
  EXPECT_NE(r.out.find("Summary of CY DROP 11 (the headset disconnected)"), std::string::npos) << describe(r);
  EXPECT_NE(r.out.find("Summary of CY KESTREL 5\n"), std::string::npos) << describe(r);
  EXPECT_EQ(read_bdf(file("s_CY-KESTREL-5.bdf")).signals.front().samples.size(), 2000U);
  const bdf_contents dropped = read_bdf(file("s_CY-DROP-11.bdf"));
  EXPECT_GT(dropped.signals.front().samples.size(), 0U);
  EXPECT_LT(dropped.signals.front().samples.size(), 2000U);
  const std::vector<listed> entries = headsets_in(read_text(file("s.json")));
  ASSERT_EQ(entries.size(), 2U);
  EXPECT_NE(entries[0].rest.find("\"stop_reason\": \"the headset disconnected\""), std::string::npos);
  EXPECT_NE(entries[1].rest.find("\"stop_reason\": null"), std::string::npos);
}

// Two real-time headsets whose crystals differ by 5000 ppm: a line typed
// once lands on both recordings at the same host time, each by its own clock.
// The typed line "mark", placed on each recording by its headset's clock,
// lands at one host time by the session's description.
// Each recording holds more than `min_samples`.
static void expect_mark_lines_up(const std::string& json, const std::string& stem_prefix, std::size_t min_samples) {
  const std::vector<listed> entries = headsets_in(json);
  ASSERT_EQ(entries.size(), 2U) << json;
  std::vector<double> placed_ns;
  for (const listed& e : entries) {
    SCOPED_TRACE(e.name);
    const std::string stem = stem_prefix + file_part(e.name);
    EXPECT_GT(read_bdf(stem + ".bdf").signals.front().samples.size(), min_samples);
    const long long position = position_of(stem + "_events.tsv", "mark");
    ASSERT_GE(position, 0) << read_text(stem + "_events.tsv");
    placed_ns.push_back(number_after(e.rest, "first_sample_host_time_ns") +
                        static_cast<double>(position) * 1e9 / number_after(e.rest, "rate_hz"));
  }
  EXPECT_NEAR(placed_ns[0], placed_ns[1], 1e9 / 250.0) << json;
}

const char* const drifting_pair = "CY ONE 1,clock_ppm=-2500;CY TWO 2,clock_ppm=2500";

TEST_F(program, ctrl_c_ends_the_session_and_a_typed_line_lines_up_across_recordings) {
  run_request request;
  request.args = {"stream", "CY ONE 1", "CY TWO 2", "--seconds", "0", "--out", file("s.bdf")};
  request.env = {{"CYCORE_VIRTUAL_DEVICES", drifting_pair}};
  request.triggers = {{"CY TWO 2: 2.0 s", "mark\n", false, false, {}},
                      {"CY TWO 2: 3.0 s", "", true, false, {}}};
  const run_result r = run_with(request);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.out.find("CY ONE 1: 3.0 s (until Ctrl-C)"), std::string::npos) << r.out;
  const std::string json = read_text(file("s.json"));
  EXPECT_NE(json.find("\"state\": \"complete\""), std::string::npos) << json;
  expect_mark_lines_up(json, file("s_"), 700U);
}

// Killed: the description the run kept while recording still lines the
// recordings up, and recover gives it its name beside theirs.
TEST_F(program, a_killed_session_leaves_its_time_axis_for_recover) {
  run_request request;
  request.args = {"stream", "CY ONE 1", "CY TWO 2", "--seconds", "0", "--out", file("s.bdf")};
  request.env = {{"CYCORE_VIRTUAL_DEVICES", drifting_pair}};
  const auto kill_soon = [](pid_t pid) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(pid, SIGKILL);
  };
  request.triggers = {{"CY TWO 2: 2.0 s", "mark\n", false, false, {}},
                      {"CY TWO 2: 3.0 s", "", false, false, kill_soon}};
  const run_result r = run_with(request);
  ASSERT_EQ(r.exit_code, 128 + SIGKILL) << describe(r);
  ASSERT_FALSE(fs::exists(file("s.json")));

  run_request recover;
  recover.args = {"recover", file("s.json.part"), file("s_CY-ONE-1.bdf.part"), file("s_CY-TWO-2.bdf.part")};
  const run_result fixed = run_calyra(recover);
  ASSERT_EQ(fixed.exit_code, 0) << describe(fixed);
  EXPECT_FALSE(fs::exists(file("s.json.part")));
  const std::string json = read_text(file("s.json"));
  EXPECT_NE(json.find("\"state\": \"recovered\""), std::string::npos) << json;
  // What was on disk at the kill: at least the second the mark was typed in.
  expect_mark_lines_up(json, file("s_"), 500U);
}
