// Backend choice at initialisation, and the cy_virtual_ configuration API.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "backend_choice/backend_choice.h"
#include "ble/adapter.h"
#include "ble/virtual/virtual_backend.h"
#include "virtual_test_support.h"
#include "cycore.h"
#include "cycore_virtual.h"

namespace {

using namespace calyra::core;
using namespace calyra::test;

class BackendSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("CYCORE_BLE_BACKEND");
    ::unsetenv("CYCORE_VIRTUAL_DEVICES");
  }
  void TearDown() override {
    cy_virtual_reset();
    ::unsetenv("CYCORE_BLE_BACKEND");
    ::unsetenv("CYCORE_VIRTUAL_DEVICES");
    ble::set_backend(nullptr);
  }

  static std::vector<std::string> device_names() {
    std::vector<std::string> names;
    if (const auto backend = ble::virtual_ble::current_virtual_backend())
      for (const auto& device : backend->devices()) names.push_back(device->identifier());
    return names;
  }

  // Runs `select` with the library logging to a file; returns the log text.
  static std::string logged_while(void (*select)()) {
    const auto path = std::filesystem::temp_directory_path() / ("cy_select_" + std::to_string(::getpid()) + ".log");
    EXPECT_EQ(cy_core_init(), CY_OK);
    cy_core_config config;
    cy_core_get_config(&config);
    config.logging_enabled = true;
    config.autoflush = true;
    std::snprintf(config.log_path, sizeof config.log_path, "%s", path.c_str());
    cy_core_set_config(&config);
    select();
    cy_core_close();
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    std::filesystem::remove(path);
    return text.str();
  }
};

TEST_F(BackendSelection, UnsetMeansAMachineWithoutAdapter) {
  ble::select_backend_from_environment();
  EXPECT_EQ(ble::current_backend()->name(), "none");
  EXPECT_TRUE(ble::Adapter::bluetooth_enabled());
  EXPECT_TRUE(ble::Adapter::get_adapters().empty());
}

TEST_F(BackendSelection, VirtualOffersTheSixDefaultHeadsets) {
  ::setenv("CYCORE_BLE_BACKEND", "virtual", 1);
  ble::select_backend_from_environment();
  EXPECT_EQ(device_names(), (std::vector<std::string>{"CY WREN 1", "CY FINCH 2", "CY HERON 3",
                                                      "CY PLOVER 4", "CY KESTREL 5", "CY KESTREL 6"}));
  ASSERT_EQ(ble::Adapter::get_adapters().size(), 1u);
  ::setenv("CYCORE_VIRTUAL_DEVICES", "CY ONE 1;CY TWO 2,model=1", 1);
  ble::select_backend_from_environment();
  EXPECT_EQ(device_names(), (std::vector<std::string>{"CY ONE 1", "CY TWO 2"}));
}

TEST_F(BackendSelection, MalformedListsAndUnknownBackendsAreLoggedNotFatal) {
  ::setenv("CYCORE_BLE_BACKEND", "virtual", 1);
  ::setenv("CYCORE_VIRTUAL_DEVICES", "CY A 1;CY B 2,model=x", 1);
  const std::string log = logged_while([] { ble::select_backend_from_environment(); });
  EXPECT_NE(log.find("[ERROR]"), std::string::npos);
  EXPECT_NE(log.find("CYCORE_VIRTUAL_DEVICES: device entry 2 (\"CY B 2,model=x\"): model"), std::string::npos) << log;
  ble::select_backend_from_environment();
  EXPECT_EQ(ble::current_backend()->name(), "virtual");
  EXPECT_TRUE(device_names().empty());

  ::setenv("CYCORE_BLE_BACKEND", "radio", 1);
  const std::string unknown = logged_while([] { ble::select_backend_from_environment(); });
  EXPECT_NE(unknown.find("Unknown BLE backend \"radio\""), std::string::npos) << unknown;
  EXPECT_EQ(ble::current_backend()->name(), "none");
}

TEST_F(BackendSelection, CodeConfigurationWinsOverTheEnvironmentUntilReset) {
  EXPECT_EQ(cy_virtual_configure("CY CODE 1,paired=1"), CY_OK);
  EXPECT_EQ(device_names(), std::vector<std::string>{"CY CODE 1"});
  ble::select_backend_from_environment();  // what cy_core_init does
  EXPECT_EQ(device_names(), std::vector<std::string>{"CY CODE 1"});
  EXPECT_EQ(cy_virtual_configure("CY BAD 1,mtu=1"), CY_PRECONDITION_FAILED);
  EXPECT_EQ(device_names(), std::vector<std::string>{"CY CODE 1"});
  EXPECT_EQ(cy_virtual_configure(nullptr), CY_OK);
  EXPECT_EQ(device_names().size(), 6u);
  cy_virtual_reset();
  EXPECT_EQ(ble::current_backend()->name(), "none");
}

TEST_F(BackendSelection, VirtualApiObservesAndDisturbsAHeadset) {
  ASSERT_EQ(cy_virtual_configure("CY V 1,pace=fast"), CY_OK);
  auto device = ble::virtual_ble::current_virtual_backend()->find("CY V 1");
  ble::Peripheral p(device);
  cy_virtual_stats stats{};
  EXPECT_EQ(cy_virtual_get_stats("CY V 1", &stats), CY_OK);
  EXPECT_FALSE(stats.connected);
  EXPECT_EQ(cy_virtual_drop_link("CY V 1"), CY_CONNECTION_ERROR);

  std::atomic<int> drops{0};
  p.connect();
  p.set_callback_on_disconnected([&] { ++drops; });
  const std::string record("\x00\x08\x00\x08\x08\x01\x06", 7);
  write(p, role::stream_config, record);
  std::uint8_t copy[16] = {};
  EXPECT_EQ(cy_virtual_get_config_record("CY V 1", copy, 3), 7u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(copy), 4), std::string("\x00\x08\x00\x00", 4));
  EXPECT_EQ(cy_virtual_get_config_record("CY V 1", copy, sizeof copy), 7u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(copy), 7), record);

  collector packets;
  subscribe(p, role::stream_data, packets.callback());
  write(p, role::stream_control, std::string(1, '\x01'));
  ASSERT_TRUE(packets.wait_for(2));
  EXPECT_EQ(cy_virtual_get_stats("CY V 1", &stats), CY_OK);
  EXPECT_TRUE(stats.connected);
  EXPECT_TRUE(stats.streaming);
  EXPECT_GE(stats.packets_sent, 2u);

  EXPECT_EQ(cy_virtual_drop_link("CY V 1"), CY_OK);
  for (int i = 0; i < 500 && drops == 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(drops, 1);
  EXPECT_FALSE(p.is_connected());

  EXPECT_EQ(cy_virtual_drop_link("CY NONE 9"), CY_DEVICE_NOT_FOUND);
  EXPECT_EQ(cy_virtual_drop_link(nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_virtual_get_stats("CY V 1", nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_virtual_set_battery("CY V 1", 101, false), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_virtual_set_battery("CY V 1", 50, false), CY_OK);
  EXPECT_EQ(cy_virtual_set_scan_scale(1.5), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_virtual_set_scan_scale(0.25), CY_OK);
  EXPECT_DOUBLE_EQ(ble::virtual_ble::scan_scale(), 0.25);
  cy_virtual_reset();
  EXPECT_EQ(cy_virtual_get_stats("CY V 1", &stats), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_virtual_get_config_record("CY V 1", copy, sizeof copy), 0u);
}

// A system bus that accepts connections and never answers: a bus round
// trip would wait on it. Restores the bus address when it goes.
class silent_bus {
 public:
  silent_bus() : path_(std::filesystem::temp_directory_path() / ("cy_silent_bus_" + std::to_string(::getpid()))) {
    std::filesystem::remove(path_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
    if (const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) previous_ = old;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path_.string()).c_str(), 1);
  }
  ~silent_bus() {
    if (previous_.empty()) {
      ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    } else {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_.c_str(), 1);
    }
    ::close(fd_);
    std::filesystem::remove(path_);
  }
  silent_bus(const silent_bus&) = delete;
  silent_bus& operator=(const silent_bus&) = delete;
  // A connection is waiting to be accepted.
  bool contacted() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  std::string previous_;
};

// Reset never waits on the bus: virtual (or none) is installed at once, and
// a choice that needs the bus is left to the next use of the backend.
TEST_F(BackendSelection, ResetMakesNoBusRoundTrip) {
  silent_bus bus;
  ::setenv("CYCORE_VIRTUAL_DEVICES", "CY ENV 1", 1);
  for (const bool virtual_requested : {true, false}) {
    if (virtual_requested) {
      ::setenv("CYCORE_BLE_BACKEND", "virtual", 1);
    } else {
      ::unsetenv("CYCORE_BLE_BACKEND");
    }
    ASSERT_EQ(cy_virtual_configure("CY CODE 1"), CY_OK);
    const auto before = std::chrono::steady_clock::now();
    cy_virtual_reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
    EXPECT_FALSE(bus.contacted()) << "virtual requested: " << virtual_requested;
    EXPECT_EQ(device_names(), virtual_requested ? std::vector<std::string>{"CY ENV 1"}
                                                : std::vector<std::string>{});
  }
  EXPECT_EQ(cy_virtual_drop_link("CY ENV 1"), CY_PRECONDITION_FAILED);  // no virtual backend
  EXPECT_FALSE(bus.contacted());
}

}  // namespace
