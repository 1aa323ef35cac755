// The calyra program without --virtual, on a machine whose system bus has
// (the fake) bluetoothd and whose sysfs shows an enabled adapter: scan, info
// and a recording, which must hold exactly the samples of the same recording
// made over the in-process virtual headsets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
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

}  // namespace
}  // namespace calyra::test
