// The calyra program without --virtual, on a machine whose system bus has
// (the fake) bluetoothd and whose sysfs shows an enabled adapter: scan, info
// and a recording, which must hold exactly the samples of the same recording
// made over the in-process virtual headsets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "simulator/device_config.h"
#include "bdf_reader.h"
#include "private_bus.h"
#include "program_runner.h"

namespace calyra::test {
namespace {

namespace fs = std::filesystem;

const char* const devices =
    "CY KESTREL 5,pace=fast,seed=11;CY FINCH 2,model=1,pace=fast;CY HOME 3,paired=1,advertising=0";

std::string describe(const run_result& r) {
  return "exit " + std::to_string(r.exit_code) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

TEST(CalyraOverBluez, ScanInfoAndStreamWorkAsWithVirtualHeadsets) {
  std::unique_ptr<private_bus> bus;
  std::unique_ptr<fake_bluez_process> fake;
  ASSERT_NO_THROW({
    bus = std::make_unique<private_bus>();
    fake = std::make_unique<fake_bluez_process>(devices);
  });
  enabled_adapter_sysfs sysfs;
  const fs::path dir = fs::temp_directory_path() / ("calyra_bluez_" + std::to_string(::getpid()));
  fs::create_directories(dir);

  run_request request;
  request.env = {{"CYCORE_BLE_BACKEND", ""}};
  request.args = {"scan"};
  const run_result scan = run_calyra(request);
  ASSERT_EQ(scan.exit_code, 0) << describe(scan);
  EXPECT_NE(scan.out.find("CY KESTREL 5"), std::string::npos) << scan.out;
  EXPECT_NE(scan.out.find("CY FINCH 2"), std::string::npos) << scan.out;
  // Paired headsets come first, found without advertising.
  EXPECT_LT(scan.out.find("CY HOME 3"), scan.out.find("CY KESTREL 5")) << scan.out;
  EXPECT_NE(scan.out.find(simulator::address_from_name("CY HOME 3")), std::string::npos);

  request.args = {"info", "CY FINCH 2"};
  const run_result info = run_calyra(request);
  ASSERT_EQ(info.exit_code, 0) << describe(info);
  EXPECT_NE(info.out.find("FINCH (code 1)"), std::string::npos) << info.out;

  const std::string over_bluez = (dir / "bluez.bdf").string();
  request.args = {"stream", "CY KESTREL 5", "--seconds", "2", "--accel", "--out", over_bluez};
  const run_result streamed = run_calyra(request);
  ASSERT_EQ(streamed.exit_code, 0) << describe(streamed);

  const std::string in_process = (dir / "virtual.bdf").string();
  run_request on_virtual;
  on_virtual.env = {{"CYCORE_VIRTUAL_DEVICES", devices}, {"CYCORE_VIRTUAL_SCAN_SCALE", "0.02"}};
  on_virtual.args = {"--virtual", "stream", "CY KESTREL 5", "--seconds", "2", "--accel", "--out", in_process};
  const run_result reference = run_calyra(on_virtual);
  ASSERT_EQ(reference.exit_code, 0) << describe(reference);

  const bdf_contents a = read_bdf(over_bluez);
  const bdf_contents b = read_bdf(in_process);
  ASSERT_EQ(a.signals.size(), b.signals.size());
  ASSERT_EQ(a.signals.size(), 7u);
  for (std::size_t s = 0; s < a.signals.size(); ++s) {
    EXPECT_EQ(a.signals[s].label, b.signals[s].label);
    ASSERT_EQ(a.signals[s].samples.size(), 500u);
    EXPECT_EQ(a.signals[s].samples, b.signals[s].samples) << a.signals[s].label;
  }
  fs::remove_all(dir);
}

TEST(CalyraOverBluez, AnotherProgramReadingTheHeadsetLeavesAStreamRunning) {
  std::unique_ptr<private_bus> bus;
  std::unique_ptr<fake_bluez_process> fake;
  ASSERT_NO_THROW({
    bus = std::make_unique<private_bus>();
    fake = std::make_unique<fake_bluez_process>("CY FINCH 2,model=1,paired=1");
  });
  enabled_adapter_sysfs sysfs;
  const fs::path dir = fs::temp_directory_path() / ("calyra_bluez_shared_" + std::to_string(::getpid()));
  fs::create_directories(dir);

  run_request streaming;
  streaming.env = {{"CYCORE_BLE_BACKEND", ""}};
  streaming.args = {"stream", "CY FINCH 2", "--seconds", "4", "--out", (dir / "a.bdf").string()};
  run_result a;
  std::thread program_a([&] { a = run_calyra(streaming); });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  run_request reading;
  reading.env = streaming.env;
  reading.args = {"info", "CY FINCH 2"};  // device information and battery
  const run_result b = run_calyra(reading);
  program_a.join();

  EXPECT_EQ(b.exit_code, 0) << describe(b);
  ASSERT_EQ(a.exit_code, 0) << describe(a);
  EXPECT_NE(a.out.find("Missed packets  0 "), std::string::npos) << a.out;
  const bdf_contents recorded = read_bdf((dir / "a.bdf").string());
  ASSERT_FALSE(recorded.signals.empty());
  EXPECT_EQ(recorded.signals[0].samples.size(), 4u * 250u);
  fs::remove_all(dir);
}

// Three outages of 0.5, 1.5 and 3 s through the fake's DropLinkFor: calyra
// reconnects over BlueZ, and the recording keeps one axis. Trigger pulses
// before and after each outage are as far apart in the file as in host time.
TEST(CalyraOverBluez, ARecordingGoesOnAcrossThreeOutagesWithEachGapItsTrueLength) {
  std::unique_ptr<private_bus> bus;
  std::unique_ptr<fake_bluez_process> fake;
  ASSERT_NO_THROW({
    bus = std::make_unique<private_bus>();
    fake = std::make_unique<fake_bluez_process>("CY KESTREL 5,line=0");
  });
  enabled_adapter_sysfs sysfs;
  const fs::path dir = fs::temp_directory_path() / ("calyra_bluez_outages_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string address = simulator::address_from_name("CY KESTREL 5");
  trigger_line trigger(address);

  std::vector<double> fired;  // host seconds of the trigger calls that were taken
  std::vector<double> spans;  // how long each took: its pulse lies anywhere within
  std::promise<void> streaming;
  std::thread driver([&] {
    streaming.get_future().wait();
    const auto start = std::chrono::steady_clock::now();
    const auto at = [start](double s) { std::this_thread::sleep_until(start + std::chrono::duration<double>(s)); };
    const auto fire = [&] {
      const auto before = std::chrono::steady_clock::now();
      try {
        trigger.fire();
      } catch (const std::exception&) {
        return;  // not streaming at that moment: no pulse
      }
      const auto after = std::chrono::steady_clock::now();
      fired.push_back(std::chrono::duration<double>((before + (after - before) / 2).time_since_epoch()).count());
      spans.push_back(std::chrono::duration<double>(after - before).count());
    };
    const double plan[3][3] = {{0.5, 1.0, 500}, {4.0, 4.5, 1500}, {8.5, 9.0, 3000}};
    for (const auto& p : plan) {
      at(p[0]);
      fire();
      at(p[1]);
      drop_link_for(address, static_cast<std::uint32_t>(p[2]));
    }
    at(17.0);
    fire();
  });
  const std::string bdf = (dir / "out.bdf").string();
  run_request request;
  request.env = {{"CYCORE_BLE_BACKEND", ""}};
  request.args = {"stream", "CY KESTREL 5", "--seconds", "22", "--out", bdf};
  request.triggers = {{"1.0 s / 22.0 s", "", false, false, [&streaming](pid_t) { streaming.set_value(); }}};
  const run_result r = run_calyra(request);
  driver.join();
  ASSERT_EQ(r.exit_code, 0) << describe(r);

  const bdf_contents rec = read_bdf(bdf);
  ASSERT_FALSE(rec.signals.empty());
  const std::vector<double>& e1 = rec.signals[0].samples;
  EXPECT_EQ(e1.size(), 22u * 250u);
  std::vector<std::size_t> pulses;
  for (std::size_t i = 0; i < e1.size(); ++i) {
    if (e1[i] > 200.0 && (i == 0 || e1[i - 1] <= 200.0)) pulses.push_back(i);
  }
  ASSERT_EQ(pulses.size(), fired.size()) << r.out;
  ASSERT_GE(pulses.size(), 4u);
  for (std::size_t i = 1; i < pulses.size(); ++i) {
    const double calls = (spans[i] + spans[i - 1]) / 2 * 250.0;
    EXPECT_NEAR(static_cast<double>(pulses[i] - pulses[i - 1]), (fired[i] - fired[i - 1]) * 250.0, 1.5 + calls)
        << "pulses " << i - 1 << " and " << i << ", the calls took " << spans[i - 1] << " s and " << spans[i] << " s";
  }
  std::size_t marked = 0;
  for (const auto& a : rec.annotations) marked += a.text == "BAD link lost" ? 1 : 0;
  EXPECT_EQ(marked, 3u);
  std::ifstream json_in(dir / "out.json");
  std::stringstream json;
  json << json_in.rdbuf();
  std::size_t outages = 0;
  for (auto at = json.str().find("\"recovered\": true"); at != std::string::npos;
       at = json.str().find("\"recovered\": true", at + 1)) {
    ++outages;
  }
  EXPECT_EQ(outages, 3u) << json.str();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace calyra::test
