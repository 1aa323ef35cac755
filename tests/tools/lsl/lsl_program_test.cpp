// calyra --lsl and --lsl-markers end to end: the built program, an LSL
// consumer and stimulus programs in other processes, over the virtual
// headsets and over calyra-fake-bluez (whose Trigger() is the photodiode).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "lsl/library_loader.h"
#include "peer_process.h"
#include "private_bus.h"
#include "program_runner.h"
#include "simulator/device_config.h"
#include "trigger_timing.h"

namespace calyra::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string describe(const run_result& r) {
  return "exit " + std::to_string(r.exit_code) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> cells;
  std::stringstream in(line);
  for (std::string cell; std::getline(in, cell, separator);) cells.push_back(cell);
  return cells;
}

// A CSV recording's rows: stream sample number, host time, the electrodes
// (the first `electrodes` signals) and the streaming flag.
struct csv_row {
  std::uint64_t sample = 0;
  double host_time_s = 0.0;
  std::vector<double> electrodes;
  bool streaming = true;
};

std::vector<csv_row> read_csv(const std::string& path, std::size_t electrodes) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  const auto header = split(line, ',');
  const auto streaming = static_cast<std::size_t>(
      std::find(header.begin(), header.end(), "STREAMING") - header.begin());
  std::vector<csv_row> rows;
  while (std::getline(in, line)) {
    const auto cells = split(line, ',');
    csv_row row;
    row.sample = std::stoull(cells[0]);
    row.host_time_s = cells[2].empty() ? 0.0 : std::stod(cells[2]);
    for (std::size_t e = 0; e < electrodes; ++e) row.electrodes.push_back(std::stod(cells[3 + e]));
    row.streaming = cells[streaming] == "1";
    rows.push_back(row);
  }
  return rows;
}

class lsl_program : public ::testing::Test {
 protected:
  void SetUp() override {
    try {
      lsl::library();
    } catch (const lsl::library_unavailable& e) {
      if (std::getenv("CI") != nullptr) FAIL() << e.what();
      GTEST_SKIP() << "liblsl is not available (scripts/fetch-liblsl fetches it): " << e.what();
    }
    dir_ = fs::temp_directory_path() / ("calyra_lsl_" + std::to_string(getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }
  std::string unique(const std::string& what) const { return "calyra-test-" + std::to_string(getpid()) + " " + what; }

  fs::path dir_;
};

// Checked before anything else: no headset is looked for (this one does
// not exist), the places searched and the way to liblsl are named.
TEST(lsl_program_without_liblsl, lsl_options_fail_at_once_naming_where_liblsl_was_looked_for) {
  for (const char* option : {"--lsl", "--lsl-markers=type=Markers"}) {
    run_request request;
    request.args = {"--virtual", "stream", "CY NOWHERE 99", option};
    request.env = {{"CALYRA_LSL_LIBRARY", "/nonexistent/liblsl.so.2"}};
    const run_result r = run_calyra(request);
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_NE(r.err.find("/nonexistent/liblsl.so.2"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("CALYRA_LSL_LIBRARY"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("releases"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("NOWHERE"), std::string::npos) << "looked for the headset first:\n" << r.err;
  }
}

TEST_F(lsl_program, a_consumer_receives_the_recorded_samples_at_their_stream_clock_times) {
  // A real-time headset whose crystal runs 2000 ppm fast, 30 ms connection
  // intervals, and lost packets.
  const std::string device = "CY DRIFT 20";
  const std::string devices = device + ",model=3,clock_ppm=2000,interval_ms=30,delay_ms=3,loss=0.03,seed=7";
  const std::string name = unique("EEG");
  const std::size_t electrodes = 4;
  const std::string stimuli = unique("stimuli");
  peer_process consumer({"pull", name, "5000", file("pulled")});

  // A few seconds in, a stimulus program sends one marker for now and one
  // from long before the recording (numbers, as some programs send).
  std::unique_ptr<peer_process> sender;
  run_request request;
  request.args = {"--virtual", "stream", device, "--seconds", "20", "--channels", "1-4", "--lsl", "--lsl-name", name,
                  "--lsl-markers", "source_id=" + stimuli, "--out", file("rec.csv")};
  request.env = {{"CYCORE_VIRTUAL_DEVICES", devices}, {"CYCORE_VIRTUAL_SCAN_SCALE", "0.02"}};
  calyra::test::trigger start_sender;
  start_sender.after_output = "3.0 s /";
  start_sender.action = [&](pid_t) {
    sender = std::make_unique<peer_process>(std::vector<std::string>{"markers", "numbers", stimuli, "float", "0", "100"});
  };
  request.triggers = {start_sender};
  const run_result r = run_calyra(request);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.out.find("visible"), std::string::npos) << "no notice that LSL is visible to the network:\n" << r.out;
  EXPECT_EQ(consumer.wait(30s), 0) << "the consumer did not receive every sample";
  ASSERT_TRUE(sender);
  EXPECT_EQ(sender->wait(10s), 0);
  EXPECT_NE(r.out.find("2 received, 1 placed, 1 outside the recording"), std::string::npos) << r.out;
  const std::string events = read_text(file("rec_events.tsv"));
  EXPECT_NE(events.find("\t1\tnumbers\n"), std::string::npos) << events;
  EXPECT_EQ(events.find("\t2\tnumbers\n"), std::string::npos) << "a marker from before the recording was stored\n"
                                                               << events;

  const std::string xml = read_text(file("pulled.xml"));
  EXPECT_NE(xml.find("<type>EEG</type>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<channel_count>4</channel_count>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<label>E4</label>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<model>PLOVER</model>"), std::string::npos) << xml;

  const auto rows = read_csv(file("rec.csv"), electrodes);
  ASSERT_EQ(rows.size(), 5000u);
  std::ifstream pulled(file("pulled"));
  std::vector<double> stamps;
  std::size_t filled = 0, off_by_a_clock_step = 0;
  for (std::string line; std::getline(pulled, line);) {
    const std::size_t n = stamps.size();
    ASSERT_LT(n, rows.size());
    const auto cells = split(line, ' ');
    stamps.push_back(std::stod(cells[0]));
    // The stream clock's time of the sample, as the recording has it to the
    // microsecond. Both read the clock, a moment apart: where its estimate
    // stepped between the two (by a part of the 30 ms connection interval
    // until the phase between packets and connection events has swept),
    // they differ by that step for a few samples.
    const double difference = std::fabs(stamps[n] - rows[n].host_time_s);
    EXPECT_LT(difference, 0.010) << "sample " << rows[n].sample;
    if (difference > 0.0005) ++off_by_a_clock_step;
    if (n > 0) {
      EXPECT_GT(stamps[n], stamps[n - 1]) << "sample " << rows[n].sample;
    }
    for (std::size_t e = 0; e < electrodes; ++e) {
      if (!rows[n].streaming) {
        EXPECT_EQ(cells[1 + e], "nan") << "filled sample " << rows[n].sample;
      } else {
        EXPECT_EQ(std::stof(cells[1 + e]), static_cast<float>(rows[n].electrodes[e])) << "sample " << rows[n].sample;
      }
    }
    filled += rows[n].streaming ? 0 : 1;
  }
  ASSERT_EQ(stamps.size(), rows.size());
  EXPECT_LT(off_by_a_clock_step, rows.size() / 50);
  EXPECT_GT(filled, 0u) << "the headset lost nothing: the test saw no filled sample";
  // The spacing is the rate the clock measured in host time (2000 ppm fast:
  // 8 us per sample against the nominal rate), over the second half; a
  // step of the clock's estimate at either end (a few ms while it settles)
  // shifts it by up to about 1.5 us.
  const std::string json = read_text(file("rec.json"));
  const auto at = json.find("\"rate_hz\": ");
  ASSERT_NE(at, std::string::npos) << json;
  const double rate = std::stod(json.substr(at + 11));
  EXPECT_NEAR(rate, 250.0 * 1.002, 0.05);
  EXPECT_NEAR((stamps[4999] - stamps[2500]) / 2499.0, 1.0 / rate, 1.5e-6);
  EXPECT_NE(json.find("\"published\": [\"" + name + " (EEG)\""), std::string::npos) << json;
}

// Two headsets in one run: each publishes its own streams (a consumer reads
// the second one's), and one marker from a stimulus program lands in both
// recordings.
TEST_F(lsl_program, several_headsets_each_publish_and_every_recording_gets_the_markers) {
  const std::string name = unique("lab");
  const std::string stimuli = unique("stimuli");
  peer_process consumer({"pull", name + " CY TWO 2", "1000", file("pulled")});
  std::unique_ptr<peer_process> sender;
  run_request request;
  request.args = {"--virtual", "stream", "CY ONE 1", "CY TWO 2", "--seconds", "8", "--lsl", "--lsl-name", name,
                  "--lsl-markers", "source_id=" + stimuli, "--out", file("s.bdf")};
  request.env = {{"CYCORE_VIRTUAL_DEVICES", "CY ONE 1,clock_ppm=-500;CY TWO 2,clock_ppm=500"},
                 {"CYCORE_VIRTUAL_SCAN_SCALE", "0.02"}};
  calyra::test::trigger start_sender;
  start_sender.after_output = "3.0 s / 8.0 s";
  start_sender.action = [&](pid_t) {
    sender = std::make_unique<peer_process>(std::vector<std::string>{"markers", "cue", stimuli, "string", "0"});
  };
  request.triggers = {start_sender};
  const run_result r = run_calyra(request);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.out.find(name + " CY ONE 1 (EEG)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(name + " CY TWO 2 (EEG)"), std::string::npos) << r.out;
  EXPECT_EQ(consumer.wait(30s), 0) << "the second headset's stream was not read";
  ASSERT_TRUE(sender);
  EXPECT_EQ(sender->wait(10s), 0);
  const std::vector<std::pair<std::string, std::string>> own_and_other = {{"CY ONE 1", "CY TWO 2"},
                                                                          {"CY TWO 2", "CY ONE 1"}};
  for (const auto& [own, other] : own_and_other) {
    std::string stem = "s_" + own;
    std::replace(stem.begin(), stem.end(), ' ', '-');
    const std::string events = read_text(file(stem + "_events.tsv"));
    EXPECT_NE(events.find("\tcue 1\tcue\n"), std::string::npos) << own << "\n" << events;
    const std::string json = read_text(file(stem + ".json"));
    EXPECT_NE(json.find("\"" + name + " " + own + " (EEG)\""), std::string::npos) << json;
    EXPECT_EQ(json.find(name + " " + other), std::string::npos) << "another headset's streams listed:\n" << json;
  }
}

// The photodiode: calyra records over calyra-fake-bluez with --lsl-markers;
// a stimulus program, started after calyra and then restarted, fires the
// headset's trigger at random moments and sends a marker stamped just
// before each. Every marker must land within one sample of its pulse. A
// consumer of the published stream reads nothing for the whole run
// meanwhile, and the recording must not lose or delay anything for it.
TEST_F(lsl_program, markers_from_a_stimulus_program_land_on_their_pulses) {
  std::unique_ptr<private_bus> bus;
  std::unique_ptr<fake_bluez_process> fake;
  ASSERT_NO_THROW({
    bus = std::make_unique<private_bus>();
    fake = std::make_unique<fake_bluez_process>(core::testing::timing_device);
  });
  enabled_adapter_sysfs sysfs;
  const std::string device = "CY PLOVER 4";
  const std::string stimulus = unique("stimuli");
  const std::string published = unique("EEG");
  const double seconds = 32.0;

  run_result r;
  const auto started = std::chrono::steady_clock::now();
  std::thread calyra([&] {
    run_request request;
    request.env = {{"CYCORE_BLE_BACKEND", ""}};
    request.args = {"stream", device, "--seconds", "32", "--channels", "1", "--gain", "12", "--out",
                    file("photo.csv"), "--lsl", "--lsl-name", published, "--lsl-markers", stimulus};
    request.timeout_seconds = 90;
    r = run_calyra(request);
  });
  peer_process stalled({"stall", published, "60"});
  EXPECT_EQ(stalled.next_line(20s), "connected");

  // The clock needs the phase between packets and connection events to
  // sweep (5 s at 2000 ppm and 30 ms) before it is within a sample.
  std::this_thread::sleep_until(started + 14s);
  std::vector<core::testing::trigger_call> calls;
  for (const char* seed : {"11", "12"}) {
    peer_process stim({stimulus, simulator::address_from_name(device), "7", seed}, CALYRA_LSL_STIMULUS);
    while (auto line = stim.next_line(30s)) {
      const auto cells = split(*line, ' ');
      ASSERT_GE(cells.size(), 3u) << *line;
      calls.push_back({std::stoll(cells[cells.size() - 2]), std::stoll(cells.back())});
    }
    EXPECT_EQ(stim.wait(10s), 0);
  }
  calyra.join();
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_LT(took, seconds + 10.0) << "the run was held up";
  EXPECT_NE(r.out.find("14 received, 14 placed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Missed packets  0"), std::string::npos) << r.out;

  const auto rows = read_csv(file("photo.csv"), 1);
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(seconds * 250));
  std::vector<double> numbers, microvolts;
  for (const auto& row : rows) {
    numbers.push_back(static_cast<double>(row.sample));
    microvolts.push_back(row.electrodes[0]);
  }
  const auto pulses = core::testing::find_pulses(numbers, microvolts);
  ASSERT_EQ(pulses.size(), calls.size());

  std::vector<std::int64_t> placed;
  std::istringstream events(read_text(file("photo_events.tsv")));
  std::string line;
  std::getline(events, line);
  while (std::getline(events, line)) {
    const auto cells = split(line, '\t');
    ASSERT_EQ(cells.size(), 5u) << line;
    EXPECT_EQ(cells[4], stimulus) << line;
    placed.push_back(static_cast<std::int64_t>(rows.front().sample) + std::stoll(cells[2]));
  }
  ASSERT_EQ(placed.size(), calls.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    // Stamped before the call; the pulse starts at the first sample taken
    // during it.
    const double call_samples = static_cast<double>(calls[i].after_ns - calls[i].before_ns) * 1e-9 * 250.0;
    EXPECT_GE(placed[i], pulses[i] - 1 - static_cast<std::int64_t>(std::ceil(call_samples))) << "marker " << i;
    EXPECT_LE(placed[i], pulses[i] + 1) << "marker " << i;
  }
  const std::string json = read_text(file("photo.json"));
  EXPECT_NE(json.find("\"marker_sources\": [{\"name\": \"" + stimulus + "\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"markers_placed\": 14"), std::string::npos) << json;
  stalled.kill();
}

}  // namespace
}  // namespace calyra::test
