// The stream counts through the C API against a lossy virtual headset: gaps
// are counted exactly as the chunks show them, the counts can be read from
// inside the chunk callback, and every start begins them again.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "virtual_fixture.h"

namespace calyra::core {
namespace {

constexpr std::uint64_t kestrel_samples_per_packet = 50;

// Counts the samples and filler samples of the chunks since it was armed,
// and keeps the counts the library reported inside the first of them.
struct stats_probe {
  cy_eeg_manager* manager = nullptr;
  std::size_t flag_index = 0;  // of the STREAMING channel in a chunk
  std::mutex mutex;
  std::uint64_t samples = 0;
  std::uint64_t filler = 0;
  std::optional<cy_stream_stats> first_seen;
  std::atomic<bool> stats_refused{false};

  void arm() {
    std::lock_guard lock(mutex);
    samples = filler = 0;
    first_seen.reset();
  }
  static void on_chunk(const void* const* data, std::size_t count, void* self) {
    auto& p = *static_cast<stats_probe*>(self);
    cy_stream_stats stats{};
    // On the decoding thread, inside the manager's stream lock.
    if (cy_eeg_manager_get_stream_stats(p.manager, &stats) != CY_OK) p.stats_refused = true;
    std::lock_guard lock(p.mutex);
    if (!p.first_seen) p.first_seen = stats;
    const auto* flags = static_cast<const std::uint8_t*>(data[p.flag_index]);
    for (std::size_t i = 0; i < count; ++i) p.filler += flags[i] == 0 ? 1 : 0;
    p.samples += count;
  }
};

class StreamStatsApi : public testing::VirtualHeadsetTest {
 protected:
  cy_stream_stats stats_of(cy_eeg_manager* m) {
    cy_stream_stats s{};
    EXPECT_EQ(cy_eeg_manager_get_stream_stats(m, &s), CY_OK);
    return s;
  }
};

TEST_F(StreamStatsApi, CountsTheLossTheChunksShowAndStartsAgainWithEachStream) {
  start_library("CY KESTREL 5,pace=fast,loss=0.2,seed=7");
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_ELECTRODE_MEASUREMENT, true);
  cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_STREAMING, true);
  ASSERT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
  stats_probe probe;
  probe.manager = m;
  probe.flag_index = 1;  // chunks carry the channels in ascending id order
  cy_eeg_manager_set_callback_chunk(m, &stats_probe::on_chunk, &probe);
  EXPECT_EQ(cy_eeg_manager_get_stream_stats(m, nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(stats_of(m).packets_received, 0u);

  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(eventually([&] { return stats_of(m).packets_received >= 300; }));
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  const cy_stream_stats first = stats_of(m);
  cy_virtual_stats headset{};
  ASSERT_EQ(cy_virtual_get_stats("CY KESTREL 5", &headset), CY_OK);
  EXPECT_EQ(first.undecodable_payloads, 0u);
  EXPECT_GT(first.missed_packets, 10u);
  // Lost packets after the last one received cannot be seen.
  EXPECT_LE(first.missed_packets, headset.packets_lost);
  EXPECT_EQ(first.filled_samples, first.missed_packets * kestrel_samples_per_packet);
  {
    std::lock_guard lock(probe.mutex);
    EXPECT_EQ(probe.filler, first.filled_samples);
    EXPECT_EQ(probe.samples,
              (first.packets_received + first.missed_packets) * kestrel_samples_per_packet);
  }
  EXPECT_FALSE(probe.stats_refused);

  // The stop delivered the last chunk (and cleared the channel settings):
  // what the probe sees now is the new stream.
  cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_ELECTRODE_MEASUREMENT, true);
  cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_STREAMING, true);
  probe.arm();
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(probe.mutex);
    return probe.first_seen.has_value();
  }));
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  std::lock_guard lock(probe.mutex);
  // A 50-sample packet fills two 25-sample chunks: the first chunk comes
  // from the first packet of the new stream.
  EXPECT_EQ(probe.first_seen->packets_received, 1u);
  EXPECT_EQ(probe.first_seen->filled_samples, probe.first_seen->missed_packets * kestrel_samples_per_packet);
  // The counts after the stop are the second stream's alone: they match
  // what its chunks carried, not the sum of both streams.
  const cy_stream_stats second = stats_of(m);
  EXPECT_EQ(probe.samples, (second.packets_received + second.missed_packets) * kestrel_samples_per_packet);
  EXPECT_EQ(probe.filler, second.filled_samples);
}

}  // namespace
}  // namespace calyra::core
