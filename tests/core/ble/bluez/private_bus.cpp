#include "private_bus.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace calyra::test {
namespace {

using namespace std::chrono_literals;

std::atomic<int> instance{0};

pid_t spawn(const std::vector<std::string>& argv, int stdout_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

bool exited(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

void stop(pid_t pid, int signal) {
  if (pid <= 0) return;
  ::kill(pid, signal);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// The bus configuration: a system bus (its limits), anyone may own any name
// and talk to anyone.
const char* bus_config = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@DIR@/unused</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
)";

std::unique_ptr<sdbus::IProxy> control(const std::string& address,
                                       std::unique_ptr<sdbus::IConnection>& connection) {
  connection = sdbus::createSystemBusConnection();
  return sdbus::createProxy(*connection, "org.bluez", device_path(address));
}

}  // namespace

private_bus::private_bus() {
  const std::string daemon = CALYRA_DBUS_DAEMON;
  if (daemon.empty() || ::access(daemon.c_str(), X_OK) != 0)
    throw std::runtime_error("dbus-daemon is not installed (package dbus-daemon); the BlueZ tests need it");
  dir_ = std::filesystem::temp_directory_path() /
         ("calyra-bus-" + std::to_string(::getpid()) + "-" + std::to_string(instance++));
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
  std::string config = bus_config;
  config.replace(config.find("@DIR@"), 5, dir_.string());
  std::ofstream(dir_ / "bus.conf") << config;

  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
  pid_ = spawn({daemon, "--config-file=" + (dir_ / "bus.conf").string(),
                "--address=unix:path=" + (dir_ / "bus").string(), "--nofork", "--nopidfile",
                "--print-address=1"},
               out[1]);
  ::close(out[1]);
  std::string line;
  pollfd fd{out[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&fd, 1, 5000) > 0) {
    char buffer[256];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  if (line.find('\n') == std::string::npos) {
    stop(pid_, SIGTERM);
    throw std::runtime_error("dbus-daemon printed no address");
  }
  address_ = line.substr(0, line.find('\n'));
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

private_bus::~private_bus() {
  stop(pid_, SIGTERM);
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

fake_bluez_process::fake_bluez_process(const std::string& devices,
                                       std::vector<std::string> arguments) {
  ::setenv("CYCORE_VIRTUAL_DEVICES", devices.c_str(), 1);
  std::vector<std::string> argv{CALYRA_FAKE_BLUEZ};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  pid_ = spawn(argv, -1);
  ::unsetenv("CYCORE_VIRTUAL_DEVICES");
  // Ready once the object tree answers.
  auto connection = sdbus::createSystemBusConnection();
  auto root = sdbus::createProxy(*connection, "org.bluez", "/");
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (exited(pid_)) {
      pid_ = -1;
      throw std::runtime_error("calyra-fake-bluez exited at start");
    }
    try {
      auto call = root->createMethodCall("org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
      root->callMethod(call, 500000);
      return;
    } catch (const sdbus::Error&) {
      std::this_thread::sleep_for(10ms);
    }
  }
  stop(pid_, SIGKILL);
  pid_ = -1;
  throw std::runtime_error("calyra-fake-bluez did not answer within 10 s");
}

fake_bluez_process::~fake_bluez_process() { stop(pid_, SIGTERM); }

void fake_bluez_process::kill_now() {
  stop(pid_, SIGKILL);
  pid_ = -1;
}

std::string device_path(const std::string& address) {
  std::string path = "/org/bluez/hci0/dev_" + address;
  std::replace(path.begin(), path.end(), ':', '_');
  return path;
}

fake_stats stats_of(const std::string& address) {
  std::unique_ptr<sdbus::IConnection> c;
  auto p = control(address, c);
  fake_stats s{};
  p->callMethod("GetStats").onInterface("org.calyra.FakeHeadset1")
      .storeResultsTo(s.connected, s.streaming, s.sent, s.lost, s.ota_bytes, s.ota_completed);
  return s;
}

bool drop_link(const std::string& address) {
  std::unique_ptr<sdbus::IConnection> c;
  auto p = control(address, c);
  bool dropped = false;
  p->callMethod("DropLink").onInterface("org.calyra.FakeHeadset1").storeResultsTo(dropped);
  return dropped;
}

bool drop_link_for(const std::string& address, std::uint32_t down_ms) {
  std::unique_ptr<sdbus::IConnection> c;
  auto p = control(address, c);
  bool dropped = false;
  p->callMethod("DropLinkFor").onInterface("org.calyra.FakeHeadset1").withArguments(down_ms).storeResultsTo(dropped);
  return dropped;
}

void vanish(const std::string& address) {
  std::unique_ptr<sdbus::IConnection> c;
  auto p = control(address, c);
  auto call = p->createMethodCall("org.calyra.FakeHeadset1", "Vanish");
  p->callMethod(call);
}

void set_battery(const std::string& address, std::uint8_t level, bool charging) {
  std::unique_ptr<sdbus::IConnection> c;
  auto p = control(address, c);
  auto call = p->createMethodCall("org.calyra.FakeHeadset1", "SetBattery");
  call << level << charging;
  p->callMethod(call);
}

std::uint32_t notify_sessions(const std::string& address) {
  std::unique_ptr<sdbus::IConnection> c;
  auto p = control(address, c);
  std::uint32_t count = 0;
  p->callMethod("NotifySessions").onInterface("org.calyra.FakeHeadset1").storeResultsTo(count);
  return count;
}

std::string last_config(const std::string& address) {
  std::unique_ptr<sdbus::IConnection> c;
  auto p = control(address, c);
  std::vector<std::uint8_t> bytes;
  p->callMethod("LastConfig").onInterface("org.calyra.FakeHeadset1").storeResultsTo(bytes);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::uint64_t> emission_times(const std::string& address) {
  std::unique_ptr<sdbus::IConnection> c;
  auto p = control(address, c);
  std::vector<std::uint64_t> times;
  p->callMethod("EmissionTimes").onInterface("org.calyra.FakeHeadset1").storeResultsTo(times);
  return times;
}

void burst(const std::string& address, std::uint32_t count, std::uint16_t size,
           std::uint32_t interval_us) {
  std::unique_ptr<sdbus::IConnection> c;
  auto p = control(address, c);
  auto call = p->createMethodCall("org.calyra.FakeHeadset1", "Burst");
  call << count << size << interval_us;
  p->callMethod(call);
}

trigger_line::trigger_line(const std::string& address)
    : connection_(sdbus::createSystemBusConnection()),
      proxy_(sdbus::createProxy(*connection_, "org.bluez", device_path(address))) {}

trigger_line::~trigger_line() = default;

void trigger_line::fire() {
  auto call = proxy_->createMethodCall("org.calyra.FakeHeadset1", "Trigger");
  proxy_->callMethod(call);
}

enabled_adapter_sysfs::enabled_adapter_sysfs()
    : root_(std::filesystem::temp_directory_path() /
            ("calyra-sysfs-" + std::to_string(::getpid()) + "-" + std::to_string(instance++))) {
  std::filesystem::create_directories(root_ / "bluetooth" / "hci0");
  const auto rfkill = root_ / "rfkill" / "rfkill0";
  std::filesystem::create_directories(rfkill);
  std::ofstream(rfkill / "type") << "bluetooth\n";
  std::ofstream(rfkill / "soft") << "0\n";
  std::ofstream(rfkill / "hard") << "0\n";
  ::setenv("CYCORE_SYSFS_ROOT", root_.c_str(), 1);
}

enabled_adapter_sysfs::~enabled_adapter_sysfs() {
  ::unsetenv("CYCORE_SYSFS_ROOT");
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

}  // namespace calyra::test
