// Decoding of stream packets into samples, against payloads built by the
// headset-side encoder and by hand: every model's layout, scaling and gains,
// both difference masks, status bits and accelerometer, impedance mode, gaps
// and their filling, late and repeated packets, counter wrap, the bounded
// gap, and payloads that cannot be decoded.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <string>
#include <vector>

#include "decoder_harness.h"
#include "runtime/library_fixture.h"

namespace calyra::core {
namespace {

using testing::decoder_harness;
using testing::walk_packet;

constexpr std::uint16_t measurement(int e) { return static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_MEASUREMENT + e); }
constexpr std::uint16_t contact(int e) { return static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_CONTACT + e); }

double microvolts(std::int32_t value, int multiplier) { return (value / 8388607.0) * (4.5 / multiplier) * 1000000.0; }

std::vector<double> iota_from(double first, std::size_t count) {
  std::vector<double> out;
  for (std::size_t i = 0; i < count; ++i) out.push_back(first + static_cast<double>(i));
  return out;
}

TEST(Decoding, EveryModelDecodesWhatTheHeadsetEncodes) {
  for (std::uint8_t code = 0; code <= capabilities::max_model_code; ++code) {
    SCOPED_TRACE("model " + std::to_string(code));
    decoder_harness h(code);
    h.enable_all();
    const int electrodes = h.model().electrode_count();
    // Gains: X1, X12, none (scaled as X8), an invalid mode (scaled as 8), X6 for the rest.
    h.manager.set_channel_gain(measurement(0), gain_mode::X1);
    h.manager.set_channel_gain(measurement(1), gain_mode::X12);
    h.manager.set_channel_gain(measurement(3), static_cast<gain_mode>(9));
    for (int e = 4; e < electrodes; ++e) h.manager.set_channel_gain(measurement(e), gain_mode::X6);
    const int multiplier[] = {1, 12, 8, 8};
    h.start();

    const auto encoder = h.encoder();
    const std::size_t samples = h.model().samples_per_packet();
    std::vector<std::int32_t> expected_raw;
    std::vector<std::uint32_t> status_of_packet;
    std::vector<std::array<std::int16_t, 3>> accel_of_packet;
    for (std::uint32_t p = 0; p < 3; ++p) {
      std::vector<std::int32_t> raw;
      const std::uint32_t status = 0xA5A5A5A5u >> p;
      const std::array<std::int16_t, 3> accel = {static_cast<std::int16_t>(1000 + p), -2000, 32767};
      h.feed(walk_packet(encoder, static_cast<std::uint32_t>((p + 1) * samples - 1), p + 7, &raw, status, accel));
      expected_raw.insert(expected_raw.end(), raw.begin(), raw.end());
      status_of_packet.push_back(status);
      accel_of_packet.push_back(accel);
    }
    h.flush();

    EXPECT_EQ(h.values(eeg_channel_id::SAMPLE_NUMBER), iota_from(0, 3 * samples));
    EXPECT_EQ(h.values(eeg_channel_id::STREAMING), std::vector<double>(3 * samples, 1.0));
    for (int e = 0; e < electrodes; ++e) {
      const int g = e < 4 ? multiplier[e] : 6;
      const auto decoded = h.values(measurement(e));
      const auto contacts = h.values(contact(e));
      ASSERT_EQ(decoded.size(), 3 * samples);
      ASSERT_EQ(contacts.size(), 3 * samples);
      for (std::size_t s = 0; s < 3 * samples; ++s) {
        const std::int32_t raw = expected_raw[s * static_cast<std::size_t>(electrodes) + static_cast<std::size_t>(e)];
        ASSERT_EQ(decoded[s], microvolts(raw, g)) << "electrode " << e << " sample " << s;
        ASSERT_EQ(contacts[s], (status_of_packet[s / samples] >> e) & 1u) << "electrode " << e << " sample " << s;
      }
    }
    if (h.model().has_accel()) {
      for (std::size_t axis = 0; axis < 3; ++axis) {
        const auto values = h.values(accelerometer_channels[axis]);
        ASSERT_EQ(values.size(), 3 * samples);
        for (std::size_t s = 0; s < values.size(); ++s) {
          ASSERT_EQ(values[s], h.model().convert_accel(accel_of_packet[s / samples][axis])) << axis;
        }
      }
    }
    EXPECT_EQ(h.manager.missed_packets(), 0);
  }
}

TEST(Decoding, OnlyTheStreamedElectrodesAreInThePacket) {
  decoder_harness h(4);  // kestrel: 4 electrodes, accelerometer
  // Electrode 1 by its measurement, electrode 3 by its contact only.
  h.enable({eeg_channel_id::SAMPLE_NUMBER, measurement(1), contact(3)});
  h.start();
  ASSERT_EQ(h.manager.streamed_electrodes(), (std::vector<std::uint8_t>{1, 3}));
  std::vector<std::int32_t> raw;
  h.feed(walk_packet(h.encoder(), 49, 3, &raw, 0b1000));
  h.flush();
  const auto values = h.values(measurement(1));
  ASSERT_EQ(values.size(), 50u);
  for (std::size_t s = 0; s < 50; ++s) EXPECT_EQ(values[s], microvolts(raw[2 * s], 8));
  EXPECT_EQ(h.values(contact(3)), std::vector<double>(50, 1.0));
  EXPECT_EQ(h.values(eeg_channel_id::SAMPLE_NUMBER), iota_from(0, 50));
}

TEST(Decoding, ElevenBitDifferencesUseTheNarrowMask) {
  decoder_harness h(4);
  manager_test_access::set_difference_mask(h.manager, 0xFFF);  // as set up for a model with 11-bit differences
  h.enable({measurement(0), measurement(2)});
  h.start();
  const protocol::packet_encoder encoder({4, 50, 11, true}, {0, 2}, false);
  std::vector<std::int32_t> raw;
  h.feed(walk_packet(encoder, 49, 11, &raw));
  h.flush();
  const auto first = h.values(measurement(0));
  ASSERT_EQ(first.size(), 50u);
  for (std::size_t s = 0; s < 50; ++s) EXPECT_EQ(first[s], microvolts(raw[2 * s], 8)) << s;
}

TEST(Decoding, HandMadePacketWithBothValueForms) {
  decoder_harness h(5);  // kestrel_v2: 4 electrodes, no accelerometer, 12-bit
  h.enable({measurement(0), measurement(1)});
  h.manager.set_channel_gain(measurement(0), gain_mode::X8);
  h.manager.set_channel_gain(measurement(1), gain_mode::X8);
  h.start();
  // L = 2, S = 2: first sample 24-bit, then two 12-bit fields (3 bytes), no
  // accelerometer, one status byte, counter 1, trailing byte.
  const std::string payload = {'\xFF', '\xFF', '\x7F',  // electrode 0: 0x7FFFFF
                               '\x00', '\x00', '\x80',  // electrode 1: 0x800000
                               '\x80', '\x07', '\xFF',  // fields 0x800 and 0x7FF
                               '\x00',                  // status
                               '\x01', '\x00', '\x00', '\x00', '\x00'};
  h.feed(payload);
  h.flush();
  EXPECT_EQ(h.values(measurement(0)), (std::vector<double>{562500.0, microvolts(8388607 - 8191, 8)}));
  EXPECT_EQ(h.values(measurement(1)), (std::vector<double>{microvolts(-8388607, 8), microvolts(-8388607 + 8188, 8)}));
}

class DecodingGaps : public ::testing::Test {
 protected:
  DecodingGaps() : h(4) {
    h.enable({eeg_channel_id::SAMPLE_NUMBER, eeg_channel_id::STREAMING, measurement(0), contact(0),
              eeg_channel_id::ACCELEROMETER_X});
    h.start();
  }
  // Feeds the packet whose last sample is `counter` and returns what the
  // decoder printed.
  std::string feed(std::uint32_t counter) {
    ::testing::internal::CaptureStdout();
    h.feed(walk_packet(h.encoder(), counter, counter, nullptr, 1u, {100, 0, 0}));
    return ::testing::internal::GetCapturedStdout();
  }
  decoder_harness h;
};

TEST_F(DecodingGaps, ASkippedPacketIsFilledAndReportedOnce) {
  EXPECT_EQ(feed(49), "");
  EXPECT_EQ(feed(149), "|||||MISSED||||| 1last: 50 current: 100\n");
  h.flush();
  EXPECT_EQ(h.manager.missed_packets(), 1);
  EXPECT_EQ(h.values(eeg_channel_id::SAMPLE_NUMBER), iota_from(0, 150));
  const auto flags = h.values(eeg_channel_id::STREAMING);
  const auto microvolt = h.values(measurement(0));
  const auto contacts = h.values(contact(0));
  const auto accel = h.values(eeg_channel_id::ACCELEROMETER_X);
  for (std::size_t s = 0; s < 150; ++s) {
    const bool filler = s >= 50 && s < 100;
    EXPECT_EQ(flags[s], filler ? 0.0 : 1.0) << s;
    if (filler) {
      EXPECT_EQ(microvolt[s], 0.0) << s;
      EXPECT_EQ(contacts[s], 0.0) << s;
      EXPECT_EQ(accel[s], h.model().convert_accel(0)) << s;
    } else {
      EXPECT_EQ(contacts[s], 1.0) << s;
      EXPECT_EQ(accel[s], h.model().convert_accel(100)) << s;
    }
  }
}

TEST_F(DecodingGaps, LateAndRepeatedPacketsAreReportedButNotFilled) {
  feed(49);
  feed(99);
  EXPECT_EQ(feed(49), "|||||MISSED||||| 1last: 100 current: 0\n");  // repeated
  h.flush();
  std::vector<double> expected = iota_from(0, 100);
  const auto again = iota_from(0, 50);
  expected.insert(expected.end(), again.begin(), again.end());
  EXPECT_EQ(h.values(eeg_channel_id::SAMPLE_NUMBER), expected);
  EXPECT_EQ(h.values(eeg_channel_id::STREAMING), std::vector<double>(150, 1.0));
}

TEST_F(DecodingGaps, AnOutOfOrderPacketKeepsItsOwnSampleNumbers) {
  feed(49);
  EXPECT_EQ(feed(149), "|||||MISSED||||| 1last: 50 current: 100\n");  // 50..99 filled
  EXPECT_EQ(feed(99), "|||||MISSED||||| 2last: 150 current: 50\n");   // arrives late
  h.flush();
  std::vector<double> expected = iota_from(0, 150);
  const auto late = iota_from(50, 50);
  expected.insert(expected.end(), late.begin(), late.end());
  EXPECT_EQ(h.values(eeg_channel_id::SAMPLE_NUMBER), expected);
  EXPECT_EQ(h.manager.missed_packets(), 2);
}

TEST_F(DecodingGaps, AHugeCounterJumpIsReportedButNotFilled) {
  feed(49);
  EXPECT_EQ(feed(50 + 65536 + 49), "|||||MISSED||||| 1last: 50 current: 65586\n");
  h.flush();
  EXPECT_EQ(h.recorder.total_samples(), 100u + 65536u);  // exactly 65 536: filled
  h.recorder.clear();
  EXPECT_EQ(feed(65636 + 65537 + 49), "|||||MISSED||||| 2last: 65636 current: 131173\n");
  h.flush();
  EXPECT_EQ(h.recorder.total_samples(), 50u);  // one more: not filled
  EXPECT_EQ(h.values(eeg_channel_id::SAMPLE_NUMBER), iota_from(131173, 50));
}

TEST_F(DecodingGaps, CounterWrapAt32Bits) {
  // The first packet starts just below 2^32: a jump from 0 that is far too
  // large to fill.
  EXPECT_EQ(feed(0xFFFFFFFFu), "|||||MISSED||||| 1last: 0 current: 4294967246\n");
  // The counter wraps: the next packet starts below what was expected.
  EXPECT_EQ(feed(49), "|||||MISSED||||| 2last: 4294967296 current: 0\n");
  EXPECT_EQ(feed(99), "");
  h.flush();
  std::vector<double> expected = iota_from(4294967246.0, 50);
  const auto wrapped = iota_from(0, 100);
  expected.insert(expected.end(), wrapped.begin(), wrapped.end());
  EXPECT_EQ(h.values(eeg_channel_id::SAMPLE_NUMBER), expected);
}

TEST_F(DecodingGaps, FirstSampleNumber0x80000001IsNeverAGap) {
  EXPECT_EQ(feed(0x80000001u + 49), "");
  EXPECT_EQ(h.manager.missed_packets(), 0);
  h.flush();
  EXPECT_EQ(h.recorder.total_samples(), 50u);
}

TEST_F(DecodingGaps, NoSampleIsLostAroundAGapWhateverTheChunkBoundaries) {
  for (std::uint32_t counter : {49u, 99u, 249u, 299u, 299u + 7 * 50u}) feed(counter);
  h.flush();
  EXPECT_EQ(h.values(eeg_channel_id::SAMPLE_NUMBER), iota_from(0, 300 + 7 * 50));
  for (const auto& chunk : h.recorder.chunks()) {
    for (const auto& channel : chunk.channels) EXPECT_EQ(channel.size(), chunk.sample_count);
  }
}

TEST(Decoding, ImpedanceModeKeepsRawCountsAndFillsGapsSilentlyWithTheLastValues) {
  decoder_harness h(3);  // plover
  h.enable({eeg_channel_id::SAMPLE_NUMBER, eeg_channel_id::STREAMING, measurement(0), measurement(2), contact(2)});
  h.manager.set_impedance_mode(1);
  h.start();
  const auto encoder = h.encoder(true);
  std::vector<std::int32_t> first_raw;
  std::vector<std::int32_t> second_raw;
  ::testing::internal::CaptureStdout();
  h.feed(walk_packet(encoder, 9, 5, &first_raw, 0));
  h.feed(walk_packet(encoder, 29, 6, &second_raw, 0));  // samples 10..19 lost
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  h.flush();
  EXPECT_EQ(h.manager.missed_packets(), 0);
  const auto e0 = h.values(measurement(0));
  const auto e2 = h.values(measurement(2));
  ASSERT_EQ(e0.size(), 30u);
  for (std::size_t s = 0; s < 10; ++s) {
    EXPECT_EQ(e0[s], first_raw[2 * s]);
    EXPECT_EQ(e2[s], first_raw[2 * s + 1]);
    EXPECT_EQ(e0[20 + s], second_raw[2 * s]);
  }
  for (std::size_t s = 10; s < 20; ++s) {
    EXPECT_EQ(e0[s], first_raw[18]);  // the last decoded value
    EXPECT_EQ(e2[s], first_raw[19]);
  }
  EXPECT_EQ(h.values(contact(2)), std::vector<double>(30, 1.0));  // always 1 in impedance mode
  EXPECT_EQ(h.values(eeg_channel_id::SAMPLE_NUMBER), iota_from(0, 30));
}

TEST(Decoding, FillerValuesNeverLeakBetweenManagers) {
  decoder_harness a(3);
  decoder_harness b(3);
  for (auto* h : {&a, &b}) {
    h->enable({measurement(0)});
    h->manager.set_impedance_mode(1);
    h->start();
  }
  a.feed(walk_packet(a.encoder(true), 9, 5, nullptr));
  // b's first packet starts at 10: its gap is filled with b's own (zero) history.
  b.feed(walk_packet(b.encoder(true), 19, 6, nullptr));
  b.flush();
  const auto values = b.values(measurement(0));
  ASSERT_EQ(values.size(), 20u);
  for (std::size_t s = 0; s < 10; ++s) EXPECT_EQ(values[s], 0.0) << s;
}

class DecodingLogged : public testing::LibraryTest {};

TEST_F(DecodingLogged, UndecodablePayloadsAreDroppedWithOneWarningPerStream) {
  cy_core_config config = logging_config();
  config.autoflush = true;
  init_with(config);
  decoder_harness h(4);
  h.enable({measurement(0), measurement(1)});
  h.start();
  const std::string too_short(3 * 2 + 1 + 11 - 1, '\0');
  h.feed(too_short);
  h.feed("");
  h.feed(too_short);
  h.flush();
  EXPECT_EQ(h.recorder.total_samples(), 0u);
  h.start();  // a new stream warns again
  h.feed(too_short);
  // A stream without any electrode cannot decode anything either.
  decoder_harness only_numbers(4);
  only_numbers.enable({eeg_channel_id::SAMPLE_NUMBER});
  only_numbers.start();
  only_numbers.feed(std::string(100, '\0'));
  only_numbers.flush();
  EXPECT_EQ(only_numbers.recorder.total_samples(), 0u);

  int warnings = 0;
  for (const auto& line : log_lines()) {
    if (line.find("[WARNING]") != std::string::npos && line.find("undecodable") != std::string::npos) ++warnings;
  }
  EXPECT_EQ(warnings, 3);
}

TEST_F(DecodingLogged, PayloadsOfAnotherLengthBecomeNoSamplesAndNoGap) {
  cy_core_config config = logging_config();
  config.autoflush = true;
  init_with(config);
  decoder_harness h(4);  // 4 electrodes with accelerometer, 50 samples per packet (318 bytes)
  h.enable_all();
  h.start();
  const auto encoder = h.encoder();
  const auto with_samples = [&](std::uint8_t samples) {
    const protocol::packet_shape shape{4, samples, h.model().sample_difference_size(), true};
    return protocol::packet_encoder(shape, h.manager.streamed_electrodes(), false);
  };
  ::testing::internal::CaptureStdout();
  h.feed(walk_packet(encoder, 49, 1, nullptr));
  // A full packet cut to 245 bytes (37 samples would need 240): its
  // "counter" is a piece of the difference stream.
  h.feed(walk_packet(encoder, 99, 2, nullptr).substr(0, 245));
  // One sample more than the model sends.
  h.feed(walk_packet(with_samples(51), 100, 3, nullptr));
  h.feed(walk_packet(encoder, 99, 4, nullptr));
  // Shorter packets of the model's own layout are decoded.
  h.feed(walk_packet(with_samples(1), 100, 5, nullptr));
  h.flush();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(h.manager.missed_packets(), 0);
  EXPECT_EQ(h.values(eeg_channel_id::SAMPLE_NUMBER), iota_from(0, 101));
  int warnings = 0;
  for (const auto& line : log_lines()) {
    if (line.find("[WARNING]") == std::string::npos) continue;
    ++warnings;
    EXPECT_NE(line.find("first: 245 bytes for 4 streamed electrodes, where a packet of 1 to 50 samples has "
                        "24 to 318 bytes"),
              std::string::npos)
        << line;
  }
  EXPECT_EQ(warnings, 1);
}

TEST_F(DecodingLogged, WithStandardOutputDiagnosticsOffAGapIsLoggedAtWarning) {
  cy_core_config config = logging_config();
  config.autoflush = true;
  init_with(config);
  ASSERT_EQ(cy_core_set_stdout_diagnostics(false), CY_OK);
  decoder_harness h(4);
  h.enable({eeg_channel_id::SAMPLE_NUMBER, measurement(0)});
  h.start();
  ::testing::internal::CaptureStdout();
  h.feed(walk_packet(h.encoder(), 49, 1, nullptr));
  h.feed(walk_packet(h.encoder(), 149, 2, nullptr));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(h.manager.missed_packets(), 1);
  const auto lines = log_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.rfind("[WARNING] [eeg_manager] (", 0) == 0 &&
                                   line.ends_with("): |||||MISSED||||| 1last: 50 current: 100");
                          }),
            1);
}

}  // namespace
}  // namespace calyra::core
