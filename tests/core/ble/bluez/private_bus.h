// Test helper: a private system bus (dbus-daemon with a configuration of our
// own: system-bus limits, permissive policy) and calyra-fake-bluez on it,
// both started as child processes and stopped by pid.
//
// A missing dbus-daemon or a fake that does not come up is a test failure,
// never a skip.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace sdbus {
class IConnection;
class IProxy;
}  // namespace sdbus

namespace calyra::test {

class private_bus {
 public:
  // Starts dbus-daemon and points DBUS_SYSTEM_BUS_ADDRESS at it. Throws
  // std::runtime_error when that fails.
  private_bus();
  ~private_bus();
  private_bus(const private_bus&) = delete;
  private_bus& operator=(const private_bus&) = delete;

  const std::string& address() const { return address_; }
  pid_t pid() const { return pid_; }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  std::string address_;
};

class fake_bluez_process {
 public:
  // Starts calyra-fake-bluez with CYCORE_VIRTUAL_DEVICES = `devices` and the
  // given program arguments; returns once org.bluez answers. Throws
  // std::runtime_error when it does not come up.
  explicit fake_bluez_process(const std::string& devices, std::vector<std::string> arguments = {});
  ~fake_bluez_process();  // SIGTERM, then waits
  fake_bluez_process(const fake_bluez_process&) = delete;
  fake_bluez_process& operator=(const fake_bluez_process&) = delete;

  // SIGKILL: bluetoothd crashing.
  void kill_now();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// The object path BlueZ gives the device with this address.
std::string device_path(const std::string& address);

// Calls of the fake's test-control interface on a device.
struct fake_stats {
  bool connected, streaming;
  std::uint64_t sent, lost, ota_bytes;
  bool ota_completed;
};
fake_stats stats_of(const std::string& address);
bool drop_link(const std::string& address);
// The link is lost and the headset stays out of reach for `down_ms`.
bool drop_link_for(const std::string& address, std::uint32_t down_ms);
void vanish(const std::string& address);  // the device object goes away
void set_battery(const std::string& address, std::uint8_t level, bool charging);
std::uint32_t notify_sessions(const std::string& address);
std::string last_config(const std::string& address);
std::vector<std::uint64_t> emission_times(const std::string& address);
// `interval_us` 0: as fast as the bus or the socket takes them.
void burst(const std::string& address, std::uint32_t count, std::uint16_t size,
           std::uint32_t interval_us = 0);

// The fake's Trigger() on one device, over a bus connection opened
// beforehand so that each call is one round trip.
class trigger_line {
 public:
  explicit trigger_line(const std::string& address);
  ~trigger_line();
  trigger_line(const trigger_line&) = delete;
  trigger_line& operator=(const trigger_line&) = delete;
  // Throws sdbus::Error with the fake's answer when it refuses.
  void fire();

 private:
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> proxy_;
};

// A sysfs class tree showing one enabled adapter (the scan's status check
// reads it, and these machines have no Bluetooth in the kernel). Points
// CYCORE_SYSFS_ROOT at it while alive.
class enabled_adapter_sysfs {
 public:
  enabled_adapter_sysfs();
  ~enabled_adapter_sysfs();

 private:
  std::filesystem::path root_;
};

}  // namespace calyra::test
