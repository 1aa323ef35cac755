// The library through its C API with CYCORE_BLE_BACKEND unset, on a machine
// whose system bus has (the fake) bluetoothd: the backend choice, every
// model's device record, configuration upload, streams sample for sample
// equal to the in-process virtual headsets (lost packets included), battery
// notifications, annotations, firmware update, link loss during a stream,
// and a stream start whose write reply comes after the first packets.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "simulator/device_config.h"
#include "capabilities/device_features.h"
#include "cycore.h"
#include "cycore_virtual.h"
#include "manager/chunk_recorder.h"
#include "private_bus.h"
#include "runtime/library_fixture.h"

extern char** environ;

namespace calyra::test {
namespace {

using namespace std::chrono_literals;
using core::testing::chunk_recorder;

const std::string devices =
    "CY WREN 1,model=0,pace=fast;CY FINCH 2,model=1,pace=fast;CY HERON 3,model=2,pace=fast;"
    "CY PLOVER 4,model=3,pace=fast;CY KESTREL 5,model=4,pace=fast;CY KESTREL 6,model=5,pace=fast;"
    "CY LOSSY 7,loss=0.1,seed=3,pace=fast;CY DROP 8,drop_after=120,pace=fast";

std::uint16_t measurement(int e) { return static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT + e); }

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

struct bus_and_fake {
  std::unique_ptr<private_bus> bus;
  std::unique_ptr<fake_bluez_process> fake;
  std::string failure;
  void start(std::vector<std::string> arguments) {
    try {
      bus = std::make_unique<private_bus>();
      fake = std::make_unique<fake_bluez_process>(devices, std::move(arguments));
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
};

class BluezEndToEnd : public core::testing::LibraryTest {
 protected:
  static void SetUpTestSuite() { suite.start({}); }
  static void TearDownTestSuite() {
    suite.fake.reset();
    suite.bus.reset();
  }

  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_TRUE(suite.failure.empty()) << suite.failure;
    ::unsetenv("CYCORE_BLE_BACKEND");
    sysfs = std::make_unique<enabled_adapter_sysfs>();
    start();
  }
  void TearDown() override {
    for (cy_eeg_manager* m : managers) cy_eeg_manager_free(m);
    managers.clear();
    cy_virtual_reset();
    LibraryTest::TearDown();
    sysfs.reset();
  }

  void start() {
    cy_core_config config = logging_config();
    config.autoflush = true;
    config.log_level = CY_LOG_LEVEL_DEBUG;
    config.chunk_size = 25;
    std::snprintf(config.update_path, sizeof config.update_path, "%s", (dir_ / "image.bin").c_str());
    init_with(config);
  }
  // The same library settings, over the in-process virtual headsets.
  void restart_on_virtual_headsets() {
    for (cy_eeg_manager* m : managers) cy_eeg_manager_free(m);
    managers.clear();
    ASSERT_EQ(cy_core_close(), CY_OK);
    ASSERT_EQ(cy_virtual_configure(devices.c_str()), CY_OK);
    ASSERT_EQ(cy_virtual_set_scan_scale(0.1), CY_OK);
    start();
  }

  cy_eeg_manager* connect(const char* name) {
    cy_eeg_manager* m = cy_eeg_manager_new();
    managers.push_back(m);
    EXPECT_EQ(cy_eeg_manager_connect(m, name, nullptr, nullptr), CY_OK) << name;
    return m;
  }
  static void enable_all(cy_eeg_manager* m) {
    const auto* model = core::capabilities::for_model_code(cy_eeg_manager_get_device_info(m)->id);
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_SAMPLE_NUMBER, true);
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_STREAMING, true);
    for (int e = 0; e < model->electrode_count(); ++e) {
      cy_eeg_manager_set_channel_enabled(m, measurement(e), true);
      cy_eeg_manager_set_channel_gain(m, measurement(e), e % 2 ? CY_GAIN_X8 : CY_GAIN_X4);
    }
  }
  // Streams at least `samples` samples from `name` with every channel on.
  std::vector<std::vector<double>> record(const char* name, std::size_t samples) {
    cy_eeg_manager* m = connect(name);
    enable_all(m);
    EXPECT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
    chunk_recorder recorder;
    recorder.attach(m);
    EXPECT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    EXPECT_TRUE(eventually([&] { return recorder.total_samples() >= samples; }));
    EXPECT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
    cy_eeg_manager_disconnect(m);
    std::vector<std::vector<double>> channels;
    const auto chunks = recorder.chunks();
    for (std::size_t c = 0; !chunks.empty() && c < chunks[0].channels.size(); ++c) {
      auto values = recorder.channel(c);
      values.resize(std::min(values.size(), samples));
      channels.push_back(std::move(values));
    }
    return channels;
  }

  static bus_and_fake suite;
  std::unique_ptr<enabled_adapter_sysfs> sysfs;
  std::vector<cy_eeg_manager*> managers;
};

bus_and_fake BluezEndToEnd::suite;

std::string address_of(const std::string& name) {
  return simulator::address_from_name(name);
}

bool same_bits(const std::vector<std::vector<double>>& a, const std::vector<std::vector<double>>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t c = 0; c < a.size(); ++c) {
    if (a[c].size() != b[c].size()) return false;
    if (std::memcmp(a[c].data(), b[c].data(), a[c].size() * sizeof(double)) != 0) return false;
  }
  return true;
}

TEST_F(BluezEndToEnd, ThePlatformBackendIsBluezAndEveryModelReportsItsRecord) {
  std::string log;
  // The line may still be on its way through the logger's buffer.
  eventually([&] {
    log.clear();
    for (const auto& line : log_lines()) log += line + "\n";
    return log.find("BLE backend: bluez (org.bluez answers on the system bus)") != std::string::npos;
  }, 5s);
  EXPECT_NE(log.find("BLE backend: bluez (org.bluez answers on the system bus)"), std::string::npos) << log;

  const char* names[] = {"CY WREN 1", "CY FINCH 2", "CY HERON 3", "CY PLOVER 4", "CY KESTREL 5", "CY KESTREL 6"};
  for (std::uint8_t model = 0; model < 6; ++model) {
    cy_eeg_manager* m = connect(names[model]);
    const cy_device_info* info = cy_eeg_manager_get_device_info(m);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->id, model) << names[model];
    EXPECT_TRUE(cy_eeg_manager_is_connected(m));
    EXPECT_TRUE(stats_of(address_of(names[model])).connected);
    cy_eeg_manager_disconnect(m);
    EXPECT_FALSE(stats_of(address_of(names[model])).connected) << names[model];
  }
}

TEST_F(BluezEndToEnd, ConfigurationUploadAndStreamsEqualTheVirtualHeadsetsBitForBit) {
  const auto over_bluez = record("CY KESTREL 5", 600);
  const std::string uploaded = last_config(address_of("CY KESTREL 5"));
  const auto lossy_over_bluez = record("CY LOSSY 7", 600);
  ASSERT_FALSE(over_bluez.empty());

  restart_on_virtual_headsets();
  const auto in_process = record("CY KESTREL 5", 600);
  std::uint8_t record_bytes[64] = {};
  const std::size_t length = cy_virtual_get_config_record("CY KESTREL 5", record_bytes, sizeof record_bytes);
  const auto lossy_in_process = record("CY LOSSY 7", 600);

  EXPECT_EQ(uploaded, std::string(reinterpret_cast<char*>(record_bytes), length));
  EXPECT_TRUE(same_bits(over_bluez, in_process));
  EXPECT_TRUE(same_bits(lossy_over_bluez, lossy_in_process));
  // Lost packets are filled: the sample numbers run on without a gap.
  ASSERT_FALSE(lossy_over_bluez.empty());
  for (std::size_t i = 0; i < lossy_over_bluez[0].size(); ++i)
    ASSERT_EQ(lossy_over_bluez[0][i], static_cast<double>(i));
  std::size_t filled = 0;
  for (double flag : lossy_over_bluez[1]) filled += flag == 0.0;
  EXPECT_GT(filled, 0u);
}

TEST_F(BluezEndToEnd, AHostExitingWithoutClosingTheLibraryExitsCleanly) {
  // A host that connects over the bluez backend and leaves main() without
  // cy_core_close: static destruction must not tear down D-Bus objects.
  pid_t pid = -1;
  // A headset no later test uses: its link outlives the host, and a
  // connected headset does not advertise.
  std::vector<std::string> args{CALYRA_EXIT_WITHOUT_CLOSE, "CY PLOVER 4"};
  char* argv[] = {args[0].data(), args[1].data(), nullptr};
  ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

void on_battery(const cy_battery_info* info, void* self) {
  static_cast<std::atomic<int>*>(self)->store(info->level);
}

TEST_F(BluezEndToEnd, BatteryNotificationsAndAnnotationsReachTheHost) {
  cy_eeg_manager* m = connect("CY KESTREL 5");
  std::atomic<int> level{-1};
  cy_eeg_manager_set_callback_battery(m, &on_battery, &level);
  set_battery(address_of("CY KESTREL 5"), 42, true);
  EXPECT_TRUE(eventually([&] { return level == 42; }));
  EXPECT_EQ(cy_eeg_manager_get_battery_info(m).level, 42);

  enable_all(m);
  ASSERT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
  chunk_recorder recorder;
  recorder.attach(m);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(eventually([&] { return recorder.total_samples() >= 1000; }));  // timing is fitted from the first packets
  EXPECT_EQ(cy_eeg_manager_annotate(m, "eyes closed"), CY_OK);
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  cy_annotation* annotations = nullptr;
  std::size_t count = 0;
  cy_eeg_manager_get_annotations(m, &annotations, &count);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(annotations[0].text, "eyes closed");
  // The log says which way the stream came.
  std::string log;
  for (const auto& line : log_lines()) log += line + "\n";
  EXPECT_NE(log.find("[INFO] BlueZ: CY KESTREL 5: notifications of "), std::string::npos) << log;
  EXPECT_NE(log.find(" through AcquireNotify's socket"), std::string::npos) << log;
}

TEST_F(BluezEndToEnd, FirmwareUpdateSendsTheWholeImage) {
  std::string image(1000, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7);
  std::ofstream(dir_ / "image.bin", std::ios::binary) << image;
  cy_eeg_manager* m = connect("CY KESTREL 5");
  ASSERT_EQ(cy_eeg_manager_start_update(m, nullptr, nullptr), CY_OK);
  const fake_stats stats = stats_of(address_of("CY KESTREL 5"));
  EXPECT_EQ(stats.ota_bytes, 1000u);
  EXPECT_TRUE(stats.ota_completed);
}

void on_disconnect(void* self) {
  auto* thread = static_cast<std::atomic<std::thread::id>*>(self);
  thread->store(std::this_thread::get_id());
}

TEST_F(BluezEndToEnd, LinkLossDuringAStreamEndsItLocallyOnABackendThread) {
  cy_eeg_manager* m = connect("CY DROP 8");
  enable_all(m);
  ASSERT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
  chunk_recorder recorder;
  recorder.attach(m);
  std::atomic<std::thread::id> hook_thread{};
  cy_eeg_manager_set_callback_disconnect(m, &on_disconnect, &hook_thread);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(eventually([&] { return hook_thread.load() != std::thread::id{}; }));
  EXPECT_NE(hook_thread.load(), std::this_thread::get_id());
  EXPECT_FALSE(cy_eeg_manager_is_connected(m));  // the link's own state
  cy_eeg_manager_disconnect(m);
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
  EXPECT_EQ(recorder.total_samples(), 120u * 50u);  // every packet before the loss
  // Connecting again works.
  EXPECT_EQ(cy_eeg_manager_connect(m, "CY DROP 8", nullptr, nullptr), CY_OK);
  EXPECT_TRUE(cy_eeg_manager_is_connected(m));
}

// bluetoothd may deliver the headset's first packets before the reply to the
// start command; the manager writes that command holding the lock its
// notification handler takes.
class BluezLateWriteReply : public BluezEndToEnd {
 protected:
  static void SetUpTestSuite() { suite.start({"--write-reply-delay-ms", "150"}); }
};

TEST_F(BluezLateWriteReply, StartingAStreamDoesNotStall) {
  cy_eeg_manager* m = connect("CY KESTREL 5");
  enable_all(m);
  ASSERT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
  chunk_recorder recorder;
  recorder.attach(m);
  const auto before = std::chrono::steady_clock::now();
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_TRUE(eventually([&] { return recorder.total_samples() >= 200; }));
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  const auto numbers = recorder.sample_numbers();
  for (std::size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], static_cast<double>(i));
}

}  // namespace
}  // namespace calyra::test
