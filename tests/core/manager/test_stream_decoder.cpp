// The stream decoder on its own, without a manager or a link: values and
// flags reach their channels at the gain's scale, lost packets are filled and
// reported, chunks never exceed their size, and payloads of no packet size
// are dropped.
#include "manager/stream_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capabilities/device_features.h"
#include "manager/packet_codec.h"
#include "protocol/packet_encoder.h"
#include "runtime/stream_types.h"

namespace calyra::core::testing {
namespace {

constexpr std::uint8_t kestrel = 4;  // 4 electrodes, accelerometer, 50 samples per packet

std::uint16_t measurement(int e) { return static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_MEASUREMENT + e); }
std::uint16_t contact(int e) { return static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_CONTACT + e); }

// A decoder whose chunks are copied into per-channel columns of doubles.
struct decoded_stream {
  std::vector<std::uint16_t> channels;
  std::vector<std::uint8_t> types;
  std::vector<std::vector<double>> columns;
  std::vector<std::size_t> chunk_sizes;
  std::vector<std::string> gaps;
  std::vector<std::string> warnings;
  stream_decoder decoder{{
      .deliver = [this](const void* const* data, std::size_t count) { copy_chunk(data, count); },
      .gap = [this](std::int32_t n, std::uint64_t expected,
                    std::uint64_t got) { gaps.push_back(std::to_string(n) + ":" + std::to_string(expected) + "->" + std::to_string(got)); },
      .packet_arrived = nullptr,
      .log = [this](log_level, const std::string& text) { warnings.push_back(text); },
  }};
  const device_features_internal* model = capabilities::for_model_code(kestrel);

  void start(std::vector<std::uint16_t> ids, std::size_t chunk_size, std::unordered_map<std::uint16_t, gain_mode> gains = {}) {
    std::sort(ids.begin(), ids.end());
    channels = ids;
    types.clear();
    for (const auto id : ids) {
      const bool is_measurement = id >= measurement(0) && id < measurement(4);
      const bool is_contact = id >= contact(0) && id < contact(4);
      types.push_back(static_cast<std::uint8_t>(
          is_measurement ? channel_data_type::FLOAT64
          : is_contact || id == eeg_channel_id::STREAMING ? channel_data_type::UINT8
          : id == eeg_channel_id::SAMPLE_NUMBER ? channel_data_type::UINT64
                                                : channel_data_type::FLOAT32));
    }
    columns.assign(ids.size(), {});
    decoder.start({ids, types, std::move(gains), model, protocol::difference_mask(model->sample_difference_size()),
                   chunk_size});
  }
  void copy_chunk(const void* const* data, std::size_t count) {
    chunk_sizes.push_back(count);
    for (std::size_t c = 0; c < channels.size(); ++c) {
      for (std::size_t s = 0; s < count; ++s) {
        switch (types[c]) {
          case 0: columns[c].push_back(static_cast<const float*>(data[c])[s]); break;
          case 1: columns[c].push_back(static_cast<const std::uint8_t*>(data[c])[s]); break;
          case 2: columns[c].push_back(static_cast<double>(static_cast<const std::uint64_t*>(data[c])[s])); break;
          default: columns[c].push_back(static_cast<const double*>(data[c])[s]); break;
        }
      }
    }
  }
  const std::vector<double>& column(std::uint16_t id) const {
    return columns[static_cast<std::size_t>(std::find(channels.begin(), channels.end(), id) - channels.begin())];
  }
  protocol::packet_encoder encoder(bool impedance = false) const {
    return protocol::packet_encoder({4, 50, model->sample_difference_size(), true}, decoder.streamed_electrodes(),
                                    impedance);
  }
};

// A packet whose values walk from `level`, returning what the receiver rebuilds.
std::string packet(const protocol::packet_encoder& encoder, std::uint32_t counter, std::int32_t level,
                   std::vector<std::int32_t>* rebuilt, std::uint32_t status_bits = 0) {
  const std::size_t streamed = encoder.streamed_electrodes().size();
  const std::size_t samples = 50;
  std::vector<std::int32_t> values(samples * streamed);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = level + static_cast<std::int32_t>(i % 7) * 300;
  protocol::packet_content content;
  content.values = values;
  content.status_bits = status_bits;
  content.counter = counter;
  return encoder.encode(content, rebuilt);
}

TEST(StreamDecoder, ValuesAndContactsReachTheirChannelsAtTheGainsScale) {
  decoded_stream d;
  d.start({eeg_channel_id::SAMPLE_NUMBER, eeg_channel_id::STREAMING, measurement(1), measurement(3), contact(3)}, 25,
          {{measurement(1), gain_mode::X1}});
  ASSERT_EQ(d.decoder.streamed_electrodes(), (std::vector<std::uint8_t>{1, 3}));
  std::vector<std::int32_t> rebuilt;
  d.decoder.decode(packet(d.encoder(), 49, 1000, &rebuilt, 0b1000), false);
  EXPECT_EQ(d.chunk_sizes, (std::vector<std::size_t>{25, 25}));
  for (std::size_t s = 0; s < 50; ++s) {
    EXPECT_EQ(d.column(eeg_channel_id::SAMPLE_NUMBER)[s], static_cast<double>(s));
    EXPECT_EQ(d.column(eeg_channel_id::STREAMING)[s], 1.0);
    EXPECT_DOUBLE_EQ(d.column(measurement(1))[s], packet_codec::to_microvolts(rebuilt[2 * s], 4.5 / 1));
    EXPECT_DOUBLE_EQ(d.column(measurement(3))[s], packet_codec::to_microvolts(rebuilt[2 * s + 1], 4.5 / 8));
    EXPECT_EQ(d.column(contact(3))[s], 1.0);
  }
  EXPECT_TRUE(d.gaps.empty());
}

TEST(StreamDecoder, ALostPacketIsFilledReportedAndCountedInChunksOfAtMostTheChunkSize) {
  decoded_stream d;
  d.start({eeg_channel_id::SAMPLE_NUMBER, eeg_channel_id::STREAMING, measurement(0)}, 20);
  const auto encoder = d.encoder();
  d.decoder.decode(packet(encoder, 49, 0, nullptr), false);
  d.decoder.decode(packet(encoder, 149, 0, nullptr), false);  // 50..99 lost
  d.decoder.flush();
  EXPECT_EQ(d.gaps, (std::vector<std::string>{"1:50->100"}));
  const auto& numbers = d.column(eeg_channel_id::SAMPLE_NUMBER);
  ASSERT_EQ(numbers.size(), 150u);
  for (std::size_t s = 0; s < 150; ++s) {
    EXPECT_EQ(numbers[s], static_cast<double>(s));
    const bool filler = s >= 50 && s < 100;
    EXPECT_EQ(d.column(eeg_channel_id::STREAMING)[s], filler ? 0.0 : 1.0) << s;
    if (filler) {
      EXPECT_EQ(d.column(measurement(0))[s], 0.0);
    }
  }
  for (const std::size_t size : d.chunk_sizes) EXPECT_LE(size, 20u);
  const cy_stream_stats stats = d.decoder.stats();
  EXPECT_EQ(stats.packets_received, 2u);
  EXPECT_EQ(stats.missed_packets, 1u);
  EXPECT_EQ(stats.filled_samples, 50u);
  EXPECT_EQ(d.decoder.missed_packets(), 1);
}

TEST(StreamDecoder, ImpedanceGapsRepeatTheLastValueWithoutAReport) {
  decoded_stream d;
  d.start({eeg_channel_id::STREAMING, measurement(0), contact(0)}, 25);
  const auto encoder = d.encoder(true);
  std::vector<std::int32_t> rebuilt;
  d.decoder.decode(packet(encoder, 49, 5000, &rebuilt), true);
  d.decoder.decode(packet(encoder, 149, 5000, nullptr), true);
  d.decoder.flush();
  EXPECT_TRUE(d.gaps.empty());
  const double last = d.column(measurement(0))[49];
  EXPECT_EQ(last, static_cast<double>(rebuilt.back()));
  for (std::size_t s = 50; s < 100; ++s) {
    EXPECT_EQ(d.column(measurement(0))[s], last);
    EXPECT_EQ(d.column(contact(0))[s], 1.0);
    EXPECT_EQ(d.column(eeg_channel_id::STREAMING)[s], 0.0);
  }
}

TEST(StreamDecoder, PayloadsOfNoPacketSizeAreDroppedWithOneWarning) {
  decoded_stream d;
  d.start({measurement(0), measurement(1)}, 25);
  d.decoder.decode(std::string(7, '\0'), false);
  d.decoder.decode(std::string(8, '\0'), false);
  d.decoder.flush();
  EXPECT_TRUE(d.chunk_sizes.empty());
  ASSERT_EQ(d.warnings.size(), 1u);
  EXPECT_NE(d.warnings[0].find("first: 7 bytes for 2 streamed electrodes"), std::string::npos) << d.warnings[0];
  EXPECT_EQ(d.decoder.stats().undecodable_payloads, 2u);
}

}  // namespace
}  // namespace calyra::core::testing
