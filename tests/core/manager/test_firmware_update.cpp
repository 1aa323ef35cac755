// Firmware update: the acknowledgement handler, the exchange on the wire
// against a scripted peripheral (block size, blocks, commands, every result
// code), and end to end against virtual headsets.
//
// Every update that gets as far as the request waits the full 5 seconds for
// the acknowledgement, so those tests take that long each.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ble/ble_error.h"
#include "cycore.h"
#include "cycore/eeg_manager.h"
#include "cycore_virtual.h"
#include "manager/eeg_manager_implementation.h"
#include "manager_test_access.h"
#include "protocol/gatt_map.h"
#include "runtime/library_fixture.h"

namespace calyra::core {
namespace {

using gatt::role;

// Answers the update request with `ack_code` (0: never) from inside the
// write, and fails the write of image block `failing_block` (1-based).
class ota_peripheral final : public ble::PeripheralBackend {
 public:
  std::uint16_t mtu_value = 247;
  char ack_code = 2;
  int failing_block = 0;
  std::vector<std::pair<role, ble::ByteArray>> writes;
  int subscriptions = 0;
  int unsubscriptions = 0;

  std::string identifier() override { return "CY SCRIPTED 1"; }
  std::string address() override { return "00:00:00:00:00:01"; }
  void connect(ble::owner_token) override {}
  void disconnect(ble::owner_token) override {}
  bool is_connected() override { return true; }
  std::uint16_t mtu() override { return mtu_value; }
  ble::ByteArray read(const std::string&, const std::string&) override { return {}; }
  void write_request(const std::string& service, const std::string& characteristic,
                     const ble::ByteArray& data) override {
    const role r = *gatt::role_from_uuids(service, characteristic);
    if (r == role::ota_data && requested_ && ++image_blocks_ == failing_block) {
      throw ble::operation_failed_error("scripted failure");
    }
    writes.emplace_back(r, data);
    if (r == role::ota_control && data == ble::ByteArray(1, '\x01')) {
      requested_ = true;
      if (ack_code != 0) notify_status(ble::ByteArray(1, ack_code));
    }
  }
  void notify(ble::owner_token, const std::string& service, const std::string& characteristic,
              ble::NotifyCallback callback) override {
    if (*gatt::role_from_uuids(service, characteristic) != role::ota_status) return;
    ++subscriptions;
    status_handler_ = std::move(callback);
  }
  void unsubscribe(ble::owner_token, const std::string& service,
                   const std::string& characteristic) override {
    if (*gatt::role_from_uuids(service, characteristic) != role::ota_status) return;
    ++unsubscriptions;
    status_handler_ = nullptr;
  }
  void set_callback_on_disconnected(ble::owner_token, ble::DisconnectCallback) override {}

  void notify_status(const ble::ByteArray& payload) {
    // A copy: the handler may unsubscribe itself while it runs.
    const ble::NotifyCallback handler = status_handler_;
    if (handler) handler(payload, 0);
  }

 private:
  ble::NotifyCallback status_handler_;
  bool requested_ = false;
  int image_blocks_ = 0;
};

struct progress_log {
  std::vector<std::pair<std::size_t, std::size_t>> calls;  // (total, sent)
};

void record_progress(void* data, size_t total, size_t sent) {
  static_cast<progress_log*>(data)->calls.emplace_back(total, sent);
}

std::string image_of(std::size_t size) {
  std::string image(size, '\0');
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  return image;
}

class FirmwareUpdateTestBase : public testing::LibraryTest {
 protected:
  void start_library() {
    cy_core_config config = logging_config();
    config.autoflush = true;
    config.log_level = CY_LOG_LEVEL_DEBUG;
    std::snprintf(config.update_path, sizeof config.update_path, "%s", image_path().c_str());
    init_with(config);
  }
  std::string image_path() const { return (dir_ / "firmware.bin").string(); }
  void write_image(const std::string& bytes) const {
    std::ofstream(image_path(), std::ios::binary) << bytes;
  }
  bool logged(const std::string& level, const std::string& message) const {
    const std::string head = "[" + level + "] [eeg_manager] (";
    for (const std::string& line : log_lines()) {
      const auto body = line.find("): ");
      if (line.rfind(head, 0) == 0 && body != std::string::npos && line.substr(body + 3) == message) {
        return true;
      }
    }
    return false;
  }
};

class ScriptedUpdateTest : public FirmwareUpdateTestBase {
 protected:
  void SetUp() override {
    FirmwareUpdateTestBase::SetUp();
    start_library();
    manager = std::make_unique<eeg_manager_implementation>();
    device = std::make_shared<ota_peripheral>();
    manager_test_access::attach(*manager, ble::Peripheral(device));
  }
  void TearDown() override {
    manager.reset();
    FirmwareUpdateTestBase::TearDown();
  }
  cy_eeg_manager* handle() { return reinterpret_cast<cy_eeg_manager*>(manager.get()); }

  std::unique_ptr<eeg_manager_implementation> manager;
  std::shared_ptr<ota_peripheral> device;
};

TEST_F(ScriptedUpdateTest, AcknowledgementHandlerLogsAndSetsTheFlag) {
  const ble::NotifyCallback handler = manager_test_access::enable_ota_update(*manager);
  struct step {
    int code;
    bool flag;
    int unsubscriptions;
    std::string line;
  };
  for (const step& s : {step{2, true, 0, "OTA request acknowledged."}, step{4, true, 0, "Update done"},
                        step{3, false, 1, "OTA request NOT acknowledged."},
                        step{5, true, 2, "OTA done acknowledged."},
                        step{6, false, 3, "OTA done NOT acknowledged."},
                        step{9, false, 3, "Unknown data. |\x09|"},
                        step{0, false, 3, std::string("Unknown data. |\0|", 17)}}) {
    SCOPED_TRACE(s.code);
    handler(ble::ByteArray(1, static_cast<char>(s.code)), 0);
    EXPECT_EQ(manager_test_access::ota_acknowledged(*manager), s.flag);
    EXPECT_EQ(device->unsubscriptions, s.unsubscriptions);
    EXPECT_TRUE(logged("INFO", s.line));
  }
  const std::size_t lines = log_lines().size();
  handler(ble::ByteArray(), 0);  // ignored
  EXPECT_EQ(log_lines().size(), lines);
}

TEST_F(ScriptedUpdateTest, RefusedBeforeTheRequest) {
  // Not connected: one line, no traffic.
  manager_test_access::set_connected(*manager, false);
  EXPECT_EQ(cy_eeg_manager_start_update(handle(), nullptr, nullptr), CY_CONNECTION_ERROR);
  EXPECT_TRUE(logged("INFO", "Unable to start update - no connection to device"));
  EXPECT_EQ(device->subscriptions, 0);
  EXPECT_TRUE(device->writes.empty());
  manager_test_access::set_connected(*manager, true);

  // No image: the subscription and the block size go out, the request not.
  EXPECT_EQ(cy_eeg_manager_start_update(handle(), nullptr, nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(device->subscriptions, 1);
  EXPECT_EQ(device->unsubscriptions, 0);
  const std::vector<std::pair<role, ble::ByteArray>> block_size_only = {
      {role::ota_data, ble::ByteArray{'\xF4', '\x00'}}};
  EXPECT_EQ(device->writes, block_size_only);
  EXPECT_TRUE(logged("INFO", "Check if .bin file exist: No"));
  EXPECT_TRUE(logged("DEBUG", "Update file not found"));

  // A directory opens on Linux but is no image.
  std::filesystem::create_directory(image_path());
  EXPECT_EQ(cy_eeg_manager_start_update(handle(), nullptr, nullptr), CY_PRECONDITION_FAILED);
  std::filesystem::remove(image_path());

  // An empty image is refused at the same step: no request, no block.
  write_image("");
  device->writes.clear();
  EXPECT_EQ(cy_eeg_manager_start_update(handle(), nullptr, nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(device->writes, block_size_only);
  std::filesystem::remove(image_path());

  // An MTU that leaves no room for image bytes fails before any write.
  write_image(image_of(10));
  device->writes.clear();
  device->mtu_value = 3;
  EXPECT_EQ(cy_eeg_manager_start_update(handle(), nullptr, nullptr), CY_CONNECTION_ERROR);
  EXPECT_TRUE(device->writes.empty());
}

TEST_F(ScriptedUpdateTest, SendsWholeBlocksThenTheDoneCommand) {
  const std::string image = image_of(976);  // exactly four blocks of 244
  write_image(image);
  progress_log progress;
  ASSERT_EQ(cy_eeg_manager_start_update(handle(), record_progress, &progress), CY_OK);

  std::vector<std::pair<role, ble::ByteArray>> expected = {
      {role::ota_data, ble::ByteArray{'\xF4', '\x00'}}, {role::ota_control, ble::ByteArray(1, '\x01')}};
  for (std::size_t offset = 0; offset < image.size(); offset += 244) {
    expected.emplace_back(role::ota_data, image.substr(offset, 244));
  }
  expected.emplace_back(role::ota_control, ble::ByteArray(1, '\x04'));
  EXPECT_EQ(device->writes, expected);
  EXPECT_EQ(progress.calls, (std::vector<std::pair<std::size_t, std::size_t>>{
                                {4, 1}, {4, 2}, {4, 3}, {4, 4}}));
  EXPECT_TRUE(logged("INFO", "Check if .bin file exist: Yes"));
  EXPECT_TRUE(logged("INFO", "Finished sending"));
  EXPECT_TRUE(logged("INFO", "OTA update done"));
}

TEST_F(ScriptedUpdateTest, FailingBlockEndsTheTransfer) {
  write_image(image_of(1000));
  device->failing_block = 3;
  progress_log progress;
  ::testing::internal::CaptureStderr();
  const cy_error result = cy_eeg_manager_start_update(handle(), record_progress, &progress);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, CY_UPDATE_EXCEPTION);
  EXPECT_EQ(errors, "Runtime error: scripted failure\n");
  EXPECT_EQ(progress.calls, (std::vector<std::pair<std::size_t, std::size_t>>{{5, 1}, {5, 2}}));
  ASSERT_FALSE(device->writes.empty());
  EXPECT_NE(device->writes.back().first, role::ota_control) << "no done command after a failure";
  EXPECT_FALSE(logged("INFO", "Finished sending"));
}

// End to end against virtual headsets through the C API.
class VirtualUpdateTest : public FirmwareUpdateTestBase {
 protected:
  void TearDown() override {
    cy_eeg_manager_free(handle);
    cy_virtual_reset();
    FirmwareUpdateTestBase::TearDown();
  }
  void connect(const char* devices) {
    ASSERT_EQ(cy_virtual_configure(devices), CY_OK);
    ASSERT_EQ(cy_virtual_set_scan_scale(0.1), CY_OK);
    start_library();
    handle = cy_eeg_manager_new();
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(cy_eeg_manager_connect(handle, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  }
  cy_eeg_manager* handle = nullptr;
};

TEST_F(VirtualUpdateTest, SucceedsWithProgress) {
  connect("CY KESTREL 5");
  write_image(image_of(1000));
  progress_log progress;
  ASSERT_EQ(cy_eeg_manager_start_update(handle, record_progress, &progress), CY_OK);
  // Four blocks of 244 and one of 24; the partial block counts in the total.
  EXPECT_EQ(progress.calls, (std::vector<std::pair<std::size_t, std::size_t>>{
                                {5, 1}, {5, 2}, {5, 3}, {5, 4}, {5, 5}}));
  cy_virtual_stats stats{};
  ASSERT_EQ(cy_virtual_get_stats("CY KESTREL 5", &stats), CY_OK);
  EXPECT_EQ(stats.ota_image_bytes, 1000u);
  EXPECT_TRUE(stats.ota_completed);
  EXPECT_TRUE(logged("INFO", "OTA request acknowledged."));
  EXPECT_TRUE(logged("INFO", "OTA update done"));
}

TEST_F(VirtualUpdateTest, NoAnswerFailsEvenWithAStaleAcknowledgement) {
  connect("CY KESTREL 5,ota_ack=0");
  write_image(image_of(100));
  // Left by an earlier exchange on this manager; it must not count.
  manager_test_access::set_ota_acknowledged(*reinterpret_cast<eeg_manager_implementation*>(handle), true);
  progress_log progress;
  EXPECT_EQ(cy_eeg_manager_start_update(handle, record_progress, &progress), CY_UPDATE_FAILED);
  EXPECT_TRUE(progress.calls.empty());
  EXPECT_TRUE(logged("INFO", "OTA update update wasn't successful"));
  cy_virtual_stats stats{};
  ASSERT_EQ(cy_virtual_get_stats("CY KESTREL 5", &stats), CY_OK);
  EXPECT_EQ(stats.ota_image_bytes, 0u);
}

TEST_F(VirtualUpdateTest, RequestNotAcknowledged) {
  connect("CY KESTREL 5,ota_ack=3");
  write_image(image_of(1000));
  progress_log progress;
  EXPECT_EQ(cy_eeg_manager_start_update(handle, record_progress, &progress), CY_UPDATE_FAILED);
  EXPECT_TRUE(progress.calls.empty());
  EXPECT_TRUE(logged("INFO", "OTA request NOT acknowledged."));
}

TEST_F(VirtualUpdateTest, FailingDataCharacteristic) {
  connect("CY KESTREL 5,fail=ota_data");
  write_image(image_of(1000));
  EXPECT_EQ(cy_eeg_manager_start_update(handle, nullptr, nullptr), CY_CONNECTION_ERROR);
  const auto lines = log_lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("[ERROR] [eeg_manager] (", 0) == 0 &&
           line.find("): Caught connection error: ") != std::string::npos;
  }));
  EXPECT_FALSE(logged("INFO", "Check if .bin file exist: Yes"));
}

}  // namespace
}  // namespace calyra::core
