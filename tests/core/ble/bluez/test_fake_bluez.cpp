// The fake's side of what BlueZ shares between clients, seen by two plain
// D-Bus clients: one link for all (Connect of a connected device succeeds,
// Disconnect from anyone drops it, a concurrent Connect gets InProgress),
// AcquireNotify's socket (one holder, one packet per notification, closed
// with the link) and notifications cut to MTU - 3.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <sdbus-c++/sdbus-c++.h>

#include <future>
#include <map>

#include "private_bus.h"
#include "protocol/gatt_map.h"

namespace calyra::test {
namespace {

const std::string address = "C0:00:00:00:00:05";
const std::string headset = "CY KESTREL 5,address=" + address + ",paired=1,mtu=23";
constexpr const char* device_iface = "org.bluez.Device1";
constexpr const char* characteristic_iface = "org.bluez.GattCharacteristic1";
using options_map = std::map<std::string, sdbus::Variant>;

struct client {
  std::unique_ptr<sdbus::IConnection> connection = sdbus::createSystemBusConnection();
  std::unique_ptr<sdbus::IProxy> proxy(const std::string& path) {
    return sdbus::createProxy(*connection, "org.bluez", path);
  }
  void call(const std::string& path, const char* interface, const char* method) {
    proxy(path)->callMethod(method).onInterface(interface).storeResultsTo();
  }
  std::string error_of(const std::string& path, const char* interface, const char* method) {
    try {
      call(path, interface, method);
    } catch (const sdbus::Error& e) {
      return e.getName();
    }
    return "success";
  }
  std::string stream_characteristic() {
    using objects = std::map<sdbus::ObjectPath, std::map<std::string, options_map>>;
    objects tree;
    proxy("/")->callMethod("GetManagedObjects").onInterface("org.freedesktop.DBus.ObjectManager").storeResultsTo(tree);
    const std::string uuid = core::gatt::uuids(core::gatt::role::stream_data).characteristic;
    for (const auto& [path, interfaces] : tree) {
      const auto c = interfaces.find(characteristic_iface);
      if (c != interfaces.end() && c->second.at("UUID").get<std::string>() == uuid) return path;
    }
    return {};
  }
};

TEST(FakeBluez, OneLinkForAllClientsAndOneAcquiredSocketCutToTheMtu) {
  private_bus bus;
  fake_bluez_process fake(headset);
  client a, b;
  a.call(device_path(address), device_iface, "Connect");
  EXPECT_EQ(b.error_of(device_path(address), device_iface, "Connect"), "success");
  const std::string stream = a.stream_characteristic();
  ASSERT_FALSE(stream.empty());

  sdbus::UnixFd fd;
  std::uint16_t mtu = 0;
  a.proxy(stream)->callMethod("AcquireNotify").onInterface(characteristic_iface).withArguments(options_map{})
      .storeResultsTo(fd, mtu);
  EXPECT_EQ(mtu, 23);
  EXPECT_EQ(b.error_of(stream, characteristic_iface, "StartNotify"), "org.bluez.Error.NotPermitted");
  try {
    sdbus::UnixFd other;
    b.proxy(stream)->callMethod("AcquireNotify").onInterface(characteristic_iface).withArguments(options_map{})
        .storeResultsTo(other, mtu);
    ADD_FAILURE() << "a second client acquired the characteristic";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), "org.bluez.Error.NotPermitted");
  }

  burst(address, 3, 100);
  for (std::uint8_t sequence = 0; sequence < 3; ++sequence) {
    char packet[600];
    ASSERT_EQ(::recv(fd.get(), packet, sizeof packet, 0), 20);  // 100 bytes cut to MTU - 3
    EXPECT_EQ(packet[0], static_cast<char>(sequence));
  }
  // Another client's Disconnect drops the link for everyone; the socket ends.
  b.call(device_path(address), device_iface, "Disconnect");
  char packet[600];
  EXPECT_EQ(::recv(fd.get(), packet, sizeof packet, 0), 0);
  EXPECT_FALSE(stats_of(address).connected);
}

TEST(FakeBluez, AConnectWhileAnotherIsUnderWayAnswersInProgress) {
  private_bus bus;
  fake_bluez_process fake(headset, {"--connect-delay-ms", "300"});
  client a, b;
  auto first = std::async(std::launch::async, [&] { return a.error_of(device_path(address), device_iface, "Connect"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(b.error_of(device_path(address), device_iface, "Connect"), "org.bluez.Error.InProgress");
  EXPECT_EQ(first.get(), "success");
  EXPECT_TRUE(stats_of(address).connected);
}

}  // namespace
}  // namespace calyra::test
