#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "simulator/device_config.h"

namespace {

using namespace calyra::simulator;
using calyra::core::gatt::role;

std::filesystem::path temp_file(const std::string& name, const std::string& content) {
  const auto path = std::filesystem::temp_directory_path() /
                    (name + "_" + std::to_string(::getpid()));
  std::ofstream(path) << content;
  return path;
}

TEST(DeviceList, EveryKeyIsApplied) {
  const auto devices = parse_device_list(
      "CY X 1,model=3,hw=1.2.3,fw=abc,serial=ZZ042,address=01:23:45:67:89:ab,mtu=100,"
      "paired=1,advertising=0,battery=55,charging=1,pace=fast,loss=0.25,seed=99,line=60,"
      "drop_after=7,fail=stream_control,fail=ota_data,ota_ack=3,clock_ppm=-120.5,interval_ms=7.5,"
      "delay_ms=2,stall=0.1,drop_every=2.5,down_ms=1500");
  ASSERT_EQ(devices.size(), 1u);
  const device_config& d = devices[0];
  EXPECT_EQ(d.name, "CY X 1");
  EXPECT_EQ(d.model, 3);
  EXPECT_EQ(d.hardware_revision, "1.2.3");
  EXPECT_EQ(d.firmware_revision, "abc");
  EXPECT_EQ(d.serial, "ZZ042");
  EXPECT_EQ(d.address, "01:23:45:67:89:ab");
  EXPECT_EQ(d.mtu, 100);
  EXPECT_TRUE(d.paired);
  EXPECT_FALSE(d.advertising);
  EXPECT_EQ(d.battery, 55);
  EXPECT_TRUE(d.charging);
  EXPECT_EQ(d.pace, pacing::fast);
  EXPECT_DOUBLE_EQ(d.loss, 0.25);
  EXPECT_EQ(d.seed, 99u);
  EXPECT_DOUBLE_EQ(d.line_hz, 60.0);
  EXPECT_EQ(d.drop_after, 7u);
  EXPECT_DOUBLE_EQ(d.drop_every_s, 2.5);
  EXPECT_DOUBLE_EQ(d.down_ms, 1500.0);
  EXPECT_EQ(d.failing_roles, (std::vector<role>{role::stream_control, role::ota_data}));
  EXPECT_EQ(d.ota_ack, 3);
  EXPECT_DOUBLE_EQ(d.clock_ppm, -120.5);
  EXPECT_DOUBLE_EQ(d.interval_ms, 7.5);
  EXPECT_DOUBLE_EQ(d.delay_ms, 2.0);
  EXPECT_DOUBLE_EQ(d.stalls_per_s, 0.1);
  EXPECT_TRUE(d.realistic_timing());
  EXPECT_FALSE(parse_device_list("CY Y 1").at(0).realistic_timing());
}

TEST(DeviceList, DefaultsSerialsAddressesAndEmptyEntries) {
  const auto devices = parse_device_list("CY A 1;;CY B 2;");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].serial, "SN0000");
  EXPECT_EQ(devices[1].serial, "SN0001");
  EXPECT_EQ(devices[0].address, address_from_name("CY A 1"));
  EXPECT_EQ(devices[0].address.size(), 17u);
  EXPECT_NE(devices[0].address, devices[1].address);

  const auto defaults = default_devices();
  ASSERT_EQ(defaults.size(), 6u);
  const char* names[] = {"CY WREN 1", "CY FINCH 2", "CY HERON 3", "CY PLOVER 4", "CY KESTREL 5", "CY KESTREL 6"};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(defaults[i].name, names[i]);
    EXPECT_EQ(defaults[i].model, i);
  }
}

TEST(DeviceList, MalformedEntriesAreClearErrors) {
  const std::string bad_hex = temp_file("cy_replay_bad", "0a0b\nzz\n").string();
  const struct {
    const char* list;
    const char* hint;
  } cases[] = {
      {"CY A 1,colour=red", "unknown key"},
      {"CY A 1,model=256", "model"},
      {"CY A 1,model=x", "model"},
      {"CY A 1,mtu=10", "mtu"},
      {"CY A 1,paired=2", "paired"},
      {"CY A 1,loss=1.5", "loss"},
      {"CY A 1,loss=", "loss"},
      {"CY A 1,clock_ppm=5001", "clock_ppm must be a number from -5000 to 5000"},
      {"CY A 1,interval_ms=5", "interval_ms must be 0 or a number from 7.5 to 100"},
      {"CY A 1,interval_ms=101", "interval_ms"},
      {"CY A 1,delay_ms=-1", "delay_ms"},
      {"CY A 1,stall=2", "stall"},
      {"CY A 1,battery=101", "battery"},
      {"CY A 1,pace=slow", "pace"},
      {"CY A 1,fail=nothing", "fail"},
      {"CY A 1,address=zz:00:00:00:00:00", "address"},
      {",model=1", "name"},
      {"CY A 1,model", "key=value"},
      {"CY A 1,model=1,model=2", "twice"},
      {"CY A 1;CY B 2,seed=-1", "entry 2"},
      {"CY A 1,replay=/nonexistent/payloads.txt", "cannot be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    try {
      parse_device_list(c.list);
      ADD_FAILURE() << "accepted";
    } catch (const device_list_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.hint), std::string::npos) << e.what();
    }
  }
  try {
    parse_device_list("CY A 1,replay=" + bad_hex);
    ADD_FAILURE() << "accepted";
  } catch (const device_list_error& e) {
    EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
  }
  std::filesystem::remove(bad_hex);
}

TEST(DeviceList, ReplayFilesSkipBlanksAndComments) {
  const auto path = temp_file("cy_replay_ok", "# recorded\n0102ff\n\n  0a 0b \n");
  const auto devices = parse_device_list("CY A 1,replay=" + path.string());
  std::filesystem::remove(path);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].replay_payloads,
            (std::vector<std::string>{std::string("\x01\x02\xff"), std::string("\x0a\x0b")}));
}

}  // namespace
