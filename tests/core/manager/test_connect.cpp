// Connection against virtual headsets through the C API: every model code,
// unknown models, compatible and incompatible revisions, revision texts that
// do not parse, serial numbers, paired-only devices, names not found and
// characteristics that fail, with the log lines and codes of each path.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "capabilities/device_features.h"
#include "virtual_fixture.h"

namespace calyra::core {
namespace {

using testing::callback_probe;

class Connect : public testing::VirtualHeadsetTest {};

TEST_F(Connect, EveryModelCodeConnectsAndIsIdentified) {
  start_library("CY M0,model=0,serial=SN042;CY M1,model=1;CY M2,model=2;CY M3,model=3;CY M4,model=4;CY M5,model=5");
  for (std::uint8_t code = 0; code <= 5; ++code) {
    SCOPED_TRACE(int{code});
    cy_eeg_manager* m = new_manager();
    callback_probe probe;
    const std::string name = "CY M" + std::to_string(code);
    ASSERT_EQ(cy_eeg_manager_connect(m, name.c_str(), &callback_probe::on_connect, &probe), CY_OK);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_TRUE(probe.last_value);
    EXPECT_EQ(probe.thread.load(), std::this_thread::get_id());
    EXPECT_TRUE(cy_eeg_manager_is_connected(m));
    const cy_device_info* info = cy_eeg_manager_get_device_info(m);
    EXPECT_EQ(info->id, code);
    EXPECT_EQ(info->hardware_version.major, 2);
    EXPECT_EQ(info->firmware_version.major, 3);
    EXPECT_EQ(info->firmware_version.minor, 6);
    EXPECT_EQ(info->firmware_version.patch, 1);
    if (code == 0) {
      EXPECT_EQ(info->serial_number, 42u);
    }
    const auto* model = capabilities::for_model_code(code);
    char id[3];
    std::snprintf(id, sizeof id, "%02X", code);
    const std::string device_line = "[INFO] " + prefix(m) + "Device: id{" + id + "}, hw{2.0.0}, fw{3.6.1}, sn{" +
                                    std::to_string(info->serial_number) + "}, samples per packet{" +
                                    std::to_string(model->samples_per_packet()) + "}, compatible";
    EXPECT_GE(position_of(device_line), 0) << device_line;
    cy_eeg_manager_disconnect(m);
    EXPECT_FALSE(cy_eeg_manager_is_connected(m));
  }
}

TEST_F(Connect, TheSuccessfulSequenceLogsEachStepInOrder) {
  start_library("CY KESTREL 5,model=4,mtu=185");
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  const std::string p = prefix(m);
  const std::vector<std::string> expected = {
      "[INFO] Bluetooth is enabled",
      "[INFO] Bluetooth adapter found",
      "[INFO] " + p + "Connecting to CY KESTREL 5",
      "[INFO] " + p + "Device: id{04}, hw{2.0.0}, fw{3.6.1}, sn{0}, samples per packet{50}, compatible",
      "[DEBUG] " + p + "ADS chips connected",
      "[DEBUG] " + p + "Accelerometer chip connected ",
      "[DEBUG] " + p + "Battery manager chip connected",
      "[INFO] " + p + "Device initialized",
      "[INFO] " + p + "Connected",
      "[INFO] " + p + "MTU size: 185",
      "[DEBUG] " + p + "Future callback done",
  };
  long last = -1;
  for (const auto& line : expected) {
    const long at = position_of(line);
    EXPECT_GT(at, last) << line;
    last = at;
  }
}

TEST_F(Connect, FreeingAManagerThatNeverConnectedSaysSoBeforeDestroyingIt) {
  start_library("CY KESTREL 5");
  cy_eeg_manager* m = new_manager();
  const std::string p = prefix(m);
  forget(m);
  cy_eeg_manager_free(m);
  const long unable = position_of("[INFO] " + p + "Unable to disconnect - no connection to device");
  EXPECT_GE(unable, 0);
  EXPECT_GT(position_of("[INFO] " + p + "Destroying manager", unable), unable);
}

TEST_F(Connect, ThePloverReportsAnImu) {
  start_library("CY PLOVER 4,model=3");
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY PLOVER 4", nullptr, nullptr), CY_OK);
  EXPECT_GE(position_of("[DEBUG] " + prefix(m) + "IMU chip connected "), 0);
}

TEST_F(Connect, RevisionsDecideCompatibility) {
  start_library("CY OK,fw=3.6.9;CY OLDFW,fw=3.5.0;CY OLDHW,hw=1.4.2;CY SHORT,fw=3.6");
  {
    cy_eeg_manager* m = new_manager();
    callback_probe probe;
    EXPECT_EQ(cy_eeg_manager_connect(m, "CY OK", &callback_probe::on_connect, &probe), CY_OK);
    EXPECT_TRUE(probe.last_value);
  }
  {
    // Same hardware, other firmware: not compatible, reported at INFO, link kept.
    cy_eeg_manager* m = new_manager();
    callback_probe probe;
    EXPECT_EQ(cy_eeg_manager_connect(m, "CY OLDFW", &callback_probe::on_connect, &probe), CY_UNSUPPORTED_DEVICE);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_FALSE(probe.last_value);
    EXPECT_TRUE(cy_eeg_manager_is_connected(m));
    EXPECT_EQ(lines_with(prefix(m) + "Device: ").at(0).rfind("[INFO] ", 0), 0u);
    EXPECT_NE(lines_with(prefix(m) + "Device: ").at(0).find("}, incompatible"), std::string::npos);
  }
  {
    // Other hardware: not compatible, reported at WARNING.
    cy_eeg_manager* m = new_manager();
    EXPECT_EQ(cy_eeg_manager_connect(m, "CY OLDHW", nullptr, nullptr), CY_UNSUPPORTED_DEVICE);
    const auto line = lines_with(prefix(m) + "Device: ").at(0);
    EXPECT_EQ(line, "[WARNING] " + prefix(m) + "Device: id{04}, hw{1.4.2}, fw{3.6.1}, sn{2}, samples per packet{50}, incompatible");
  }
  {
    // "3.6" reads as 3.6.6.
    cy_eeg_manager* m = new_manager();
    EXPECT_EQ(cy_eeg_manager_connect(m, "CY SHORT", nullptr, nullptr), CY_OK);
    EXPECT_EQ(cy_eeg_manager_get_device_info(m)->firmware_version.patch, 6);
  }
}

TEST_F(Connect, UnknownModelCodeFailsAsUnsupportedWithoutALink) {
  start_library("CY ODD,model=7");
  cy_eeg_manager* m = new_manager();
  callback_probe probe;
  EXPECT_EQ(cy_eeg_manager_connect(m, "CY ODD", &callback_probe::on_connect, &probe), CY_UNSUPPORTED_DEVICE);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_FALSE(probe.last_value);
  EXPECT_EQ(cy_eeg_manager_get_device_info(m)->id, 255);
  EXPECT_EQ(lines_with(prefix(m) + "Unsupported device: ").size(), 1u);
  EXPECT_FALSE(cy_eeg_manager_is_connected(m));
  cy_virtual_stats stats{};
  ASSERT_EQ(cy_virtual_get_stats("CY ODD", &stats), CY_OK);
  EXPECT_FALSE(stats.connected);
  // Operations behave as without a connection.
  EXPECT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_CONNECTION_ERROR);
}

TEST_F(Connect, RevisionTextThatDoesNotParseIsAConnectionError) {
  start_library("CY BADHW,hw=abc");
  cy_eeg_manager* m = new_manager();
  callback_probe probe;
  ::testing::internal::CaptureStdout();
  const cy_error result = cy_eeg_manager_connect(m, "CY BADHW", &callback_probe::on_connect, &probe);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, CY_CONNECTION_ERROR);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_FALSE(probe.last_value);
  EXPECT_EQ(out, "Error while connecting: stoi\n");
  EXPECT_GE(position_of("[ERROR] " + prefix(m) + "Error while connecting: stoi"), 0);
  EXPECT_GE(position_of("[WARNING] " + prefix(m) + "Connect failed"), 0);
  EXPECT_FALSE(cy_eeg_manager_is_connected(m));
}

TEST_F(Connect, SerialNumbers) {
  start_library("CY AB,serial=AB;CY SN,serial=XYZ042");
  cy_eeg_manager* m = new_manager();
  EXPECT_EQ(cy_eeg_manager_connect(m, "CY SN", nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_get_device_info(m)->serial_number, 42u);
  cy_eeg_manager_disconnect(m);
  // Too short: the previous value stays and a warning is logged.
  EXPECT_EQ(cy_eeg_manager_connect(m, "CY AB", nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_get_device_info(m)->serial_number, 42u);
  EXPECT_EQ(lines_with("[WARNING] " + prefix(m) + "Wrong Serial number.").size(), 1u);
}

TEST_F(Connect, PairedDevicesAreFoundWithoutAdvertising) {
  start_library("CY HIDDEN,paired=1,advertising=0");
  cy_eeg_manager* m = new_manager();
  EXPECT_EQ(cy_eeg_manager_connect(m, "CY HIDDEN", nullptr, nullptr), CY_OK);
}

TEST_F(Connect, NamesCompareExactly) {
  start_library("CY KESTREL 5");
  cy_eeg_manager* m = new_manager();
  callback_probe probe;
  EXPECT_EQ(cy_eeg_manager_connect(m, "cy kestrel 5", &callback_probe::on_connect, &probe), CY_DEVICE_NOT_FOUND);
  EXPECT_EQ(cy_eeg_manager_connect(m, nullptr, &callback_probe::on_connect, &probe), CY_DEVICE_NOT_FOUND);
  EXPECT_EQ(probe.calls, 0);
  EXPECT_GE(position_of("[ERROR] Device with name cy kestrel 5 not found"), 0);
  EXPECT_FALSE(cy_eeg_manager_is_connected(m));
  EXPECT_GE(position_of("[INFO] " + prefix(m) + "No connection to device"), 0);
}

TEST_F(Connect, ACharacteristicThatFailsFailsTheConnect) {
  start_library("CY NOBAT,fail=battery_status;CY NOADS,fail=ads_chip_status");
  for (const char* name : {"CY NOBAT", "CY NOADS"}) {
    cy_eeg_manager* m = new_manager();
    callback_probe probe;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(cy_eeg_manager_connect(m, name, &callback_probe::on_connect, &probe), CY_CONNECTION_ERROR) << name;
    EXPECT_EQ(::testing::internal::GetCapturedStdout().rfind("Error while connecting: ", 0), 0u);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_FALSE(probe.last_value);
    EXPECT_FALSE(cy_eeg_manager_is_connected(m));
  }
}

TEST_F(Connect, NoAdapterAndBluetoothOff) {
  // The platform backend of this build has no adapter.
  start_library("CY KESTREL 5");
  const char* chosen = std::getenv("CYCORE_BLE_BACKEND");
  const std::string saved = chosen != nullptr ? chosen : "";
  ::unsetenv("CYCORE_BLE_BACKEND");
  cy_virtual_reset();
  if (chosen != nullptr) ::setenv("CYCORE_BLE_BACKEND", saved.c_str(), 1);
  cy_eeg_manager* m = new_manager();
  callback_probe probe;
  const cy_error result = cy_eeg_manager_connect(m, "CY KESTREL 5", &callback_probe::on_connect, &probe);
  EXPECT_TRUE(result == CY_ADAPTER_NOT_FOUND || result == CY_BLUETOOTH_DISABLED) << int{result};
  EXPECT_EQ(probe.calls, 0);
}

}  // namespace
}  // namespace calyra::core
