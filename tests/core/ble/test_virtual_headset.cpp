// A virtual headset answers every characteristic as a headset would and
// streams packets that an independent decoder turns back into its signal.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "ble/ble_error.h"
#include "simulator/synthetic_signal.h"
#include "virtual_test_support.h"
#include "../protocol/reference_decoder.h"
#include "protocol/config_record.h"

namespace {

using namespace calyra::test;
using namespace calyra::core::ble;
using calyra::core::protocol::config_record;
using calyra::core::protocol::encode_config_record;

std::uint8_t byte_at(const ByteArray& bytes, std::size_t i) { return static_cast<std::uint8_t>(bytes.at(i)); }

TEST(VirtualHeadset, AnswersTheDeviceInformationAndBatteryCharacteristics) {
  headsets h("CY A 1,model=2,hw=1.9.4,fw=abc,serial=XY042;CY B 2,charging=1,battery=35");
  Peripheral a = h.get("CY A 1");
  EXPECT_THROW(read(a, role::model_number), not_connected_error);
  a.connect();
  EXPECT_TRUE(a.is_connected());
  EXPECT_EQ(a.mtu(), 247);
  EXPECT_EQ(read(a, role::model_number), "2");
  EXPECT_EQ(read(a, role::hardware_revision), "1.9.4");
  EXPECT_EQ(read(a, role::firmware_revision), "abc");
  EXPECT_EQ(read(a, role::serial_number), "XY042");
  for (role chip : {role::ads_chip_status, role::motion_chip_status, role::battery_manager_chip_status})
    EXPECT_NE(byte_at(read(a, chip), 0), 0);

  const ByteArray status = read(a, role::battery_status);
  EXPECT_EQ(byte_at(status, 3), 80);
  EXPECT_EQ(byte_at(status, 1) >> 1 & 1, 0);      // no charger
  EXPECT_EQ(byte_at(status, 1) >> 5 & 3, 2);      // discharging
  EXPECT_EQ(read(a, role::battery_energy).size(), 5u);
  EXPECT_EQ(byte_at(read(a, role::battery_health), 1), 95);

  Peripheral b = h.get("CY B 2");
  b.connect();
  const ByteArray charging = read(b, role::battery_status);
  EXPECT_EQ(byte_at(charging, 3), 35);
  EXPECT_EQ(byte_at(charging, 1) >> 1 & 1, 1);
  EXPECT_EQ(byte_at(charging, 1) >> 5 & 3, 1);
}

TEST(VirtualHeadset, RemembersChargingSettingsAndRejectsWhatAHeadsetWould) {
  headsets h("CY A 1,fail=battery_status");
  Peripheral p = h.get("CY A 1");
  p.connect();
  write(p, role::charging_setting_timeout, "\x1e");
  write(p, role::charging_setting_flag, std::string(1, '\x05'));
  EXPECT_EQ(read(p, role::charging_setting_timeout), "\x1e");
  EXPECT_EQ(read(p, role::charging_setting_flag), "\x05");

  EXPECT_THROW(write(p, role::charging_setting_flag, ""), operation_failed_error);
  EXPECT_THROW(write(p, role::stream_control, "\x07"), operation_failed_error);
  EXPECT_THROW(write(p, role::stream_config, std::string(11, '\0')), operation_failed_error);
  EXPECT_THROW(p.read("0000180f-0000-1000-8000-00805f9b34fb", "00000000-0000-0000-0000-000000000000"),
               not_found_error);
  // The role configured to fail fails for read and subscribe; others work.
  EXPECT_THROW(read(p, role::battery_status), operation_failed_error);
  EXPECT_THROW(subscribe(p, role::battery_status, [](const ByteArray&, std::int64_t) {}), operation_failed_error);
  EXPECT_NO_THROW(read(p, role::battery_energy));
}

std::vector<ByteArray> stream(Peripheral& p, const ByteArray* config, std::size_t packets) {
  collector c;
  p.connect();
  if (config) write(p, role::stream_config, *config);
  subscribe(p, role::stream_data, c.callback());
  write(p, role::stream_control, std::string(1, '\x01'));
  EXPECT_TRUE(c.wait_for(packets));
  write(p, role::stream_control, std::string(1, '\0'));
  unsubscribe(p, role::stream_data);
  p.disconnect();
  return c.payloads();
}

// The microvolts a receiver computes from a raw value at gain multiplier g.
double to_microvolts(std::int32_t v, unsigned g) { return v / 8388607.0 * (4.5 / g) * 1000000.0; }

TEST(VirtualHeadset, EveryModelStreamsTheSignalInTheExactPacketLayout) {
  std::string list;
  for (const auto& m : all_models)
    list += "CY M " + std::to_string(m.model_code) + ",model=" + std::to_string(m.model_code) + ",pace=fast;";
  headsets h(list);
  const calyra::simulator::synthetic_signal signal(1, 50.0);
  const unsigned multipliers[] = {1, 2, 4, 6, 8, 12};

  for (const auto& m : all_models) {
    SCOPED_TRACE(m.name);
    // Every fourth electrode from the second on is switched off (gain byte 0).
    config_record record;
    std::vector<std::uint8_t> streamed;
    for (std::size_t e = 0; e < m.electrodes; ++e) {
      const bool on = e % 4 != 1;
      record.gains.push_back(on ? static_cast<std::uint8_t>(multipliers[e % 6]) : 0);
      if (on) streamed.push_back(static_cast<std::uint8_t>(e));
    }
    record.rate_code = 6;
    const ByteArray config = encode_config_record(record);
    Peripheral p = h.get("CY M " + std::to_string(m.model_code));
    const auto packets = stream(p, &config, 4);
    ASSERT_GE(packets.size(), 4u);

    for (std::size_t i = 0; i < 4; ++i) {
      const auto d = reference_decode(packets[i], m.electrodes, streamed.size(), m.has_accel, false);
      ASSERT_EQ(d.samples, m.samples_per_packet);
      // The counter names the last sample; a stream starts at sample 0.
      ASSERT_EQ(d.counter, (i + 1) * m.samples_per_packet - 1);
      EXPECT_EQ(d.status, m.electrodes == 32 ? 0xFFFFFFFFu : (1u << m.electrodes) - 1);
      if (m.has_accel) {
        EXPECT_EQ(d.accel[2], m.model_code == 3 ? 8192 : 256);  // 1 g
      }
      for (std::size_t s = 0; s < d.samples; ++s) {
        const std::uint64_t n = d.counter + 1 - d.samples + s;
        for (std::size_t k = 0; k < streamed.size(); ++k) {
          const unsigned e = streamed[k], g = record.gains[e];
          // Within the encoder's ±2 counts plus rounding to counts.
          const double tolerance = 2.6 * 4.5e6 / (g * 8388607.0);
          ASSERT_NEAR(to_microvolts(d.values[s * streamed.size() + k], g),
                      signal.microvolts(e, n, 250.0), tolerance)
              << "electrode " << e << " sample " << n;
        }
      }
    }
  }
}

TEST(VirtualHeadset, ImpedanceModeAndTheDefaultConfiguration) {
  headsets h("CY K 1,pace=fast,seed=5,line=0");
  const calyra::simulator::synthetic_signal signal(5, 0.0);
  Peripheral p = h.get("CY K 1");

  // Before any configuration record: all four electrodes at multiplier 8, 250 Hz.
  auto packets = stream(p, nullptr, 2);
  auto d = reference_decode(packets.at(1), 4, 4, true, false);
  for (std::size_t s = 0; s < d.samples; ++s)
    for (unsigned e = 0; e < 4; ++e)
      ASSERT_NEAR(to_microvolts(d.values[s * 4 + e], 8), signal.microvolts(e, 50 + s, 250.0), 0.2);

  config_record record;
  record.impedance_mode = 1;
  record.gains = {8, 0, 8, 8};
  const ByteArray config = encode_config_record(record);
  packets = stream(p, &config, 2);
  d = reference_decode(packets.at(0), 4, 3, true, true);
  ASSERT_EQ(d.samples, 50u);
  const unsigned streamed[] = {0, 2, 3};
  for (std::size_t s = 0; s < d.samples; ++s)
    for (std::size_t k = 0; k < 3; ++k)
      ASSERT_EQ(d.values[s * 3 + k], signal.impedance_counts(streamed[k], s));
}

TEST(VirtualHeadset, ReplaysAFileOfPayloadsOnce) {
  const auto path = std::filesystem::temp_directory_path() / ("cy_replay_" + std::to_string(::getpid()));
  std::ofstream(path) << "00112233\n# a comment\naabb\nff\n";
  headsets h("CY R 1,pace=fast,replay=" + path.string());
  std::filesystem::remove(path);
  Peripheral p = h.get("CY R 1");
  collector c;
  p.connect();
  subscribe(p, role::stream_data, c.callback());
  write(p, role::stream_control, std::string(1, '\x01'));
  ASSERT_TRUE(c.wait_for(3));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(c.payloads(), (std::vector<ByteArray>{std::string("\x00\x11\x22\x33", 4), "\xaa\xbb", "\xff"}));
}

TEST(VirtualHeadset, FirmwareUpdateExchange) {
  headsets h("CY OK 1;CY NO 2,ota_ack=3;CY SILENT 3,ota_ack=0");
  const std::string announce("\xf4\x00", 2);  // block size 244

  Peripheral ok = h.get("CY OK 1");
  collector acks;
  ok.connect();
  subscribe(ok, role::ota_status, acks.callback());
  write(ok, role::ota_data, announce);
  write(ok, role::ota_control, "\x01");
  ASSERT_TRUE(acks.wait_for(1));
  EXPECT_EQ(acks.payloads()[0], "\x02");
  write(ok, role::ota_data, std::string(244, 'a'));
  write(ok, role::ota_data, std::string(24, 'b'));
  EXPECT_THROW(write(ok, role::ota_data, std::string(245, 'c')), operation_failed_error);
  write(ok, role::ota_control, "\x04");
  ASSERT_TRUE(acks.wait_for(2));
  EXPECT_EQ(acks.payloads()[1], "\x05");
  const auto stats = h.backend.find("CY OK 1")->link().stats();
  EXPECT_EQ(stats.ota_image_bytes, 268u);
  EXPECT_TRUE(stats.ota_completed);

  Peripheral no = h.get("CY NO 2");
  collector refusals;
  no.connect();
  subscribe(no, role::ota_status, refusals.callback());
  write(no, role::ota_data, announce);
  write(no, role::ota_control, "\x01");
  ASSERT_TRUE(refusals.wait_for(1));
  EXPECT_EQ(refusals.payloads()[0], "\x03");
  EXPECT_THROW(write(no, role::ota_data, std::string(10, 'a')), operation_failed_error);
  write(no, role::ota_control, "\x04");
  ASSERT_TRUE(refusals.wait_for(2));
  EXPECT_EQ(refusals.payloads()[1], "\x06");

  Peripheral silent = h.get("CY SILENT 3");
  collector nothing;
  silent.connect();
  subscribe(silent, role::ota_status, nothing.callback());
  write(silent, role::ota_data, announce);
  write(silent, role::ota_control, "\x01");
  EXPECT_FALSE(nothing.wait_for(1, 100ms));
}

TEST(VirtualHeadset, BatteryChangesAreNotified) {
  headsets h("CY A 1");
  Peripheral p = h.get("CY A 1");
  collector c;
  p.connect();
  subscribe(p, role::battery_status, c.callback());
  h.backend.find("CY A 1")->link().set_battery(42, true);
  ASSERT_TRUE(c.wait_for(1));
  EXPECT_EQ(byte_at(c.payloads()[0], 3), 42);
  EXPECT_EQ(byte_at(c.payloads()[0], 1) >> 5 & 3, 1);
  EXPECT_EQ(read(p, role::battery_status), c.payloads()[0]);
}

}  // namespace
