// Chunk assembly and delivery: sizes across deliveries, flushes and
// restarts, the silent drop without a callback, the chunk pointer array and
// the data-type table, and the channels the decoder never feeds.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "decoder_harness.h"
#include "library/state.h"

namespace calyra::core {
namespace {

using testing::decoder_harness;
using testing::walk_packet;

constexpr std::uint16_t measurement(int e) { return static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_MEASUREMENT + e); }

class Chunks : public ::testing::Test {
 protected:
  Chunks() : h(3) {  // plover: 10 samples per packet
    h.enable({eeg_channel_id::SAMPLE_NUMBER, measurement(0)});
  }
  ~Chunks() override { state::store_config(default_config()); }
  void set_chunk_size(std::uint64_t size) {
    cy_core_config config = default_config();
    config.chunk_size = size;
    state::store_config(config);
  }
  // Feeds `packets` consecutive packets continuing from `first_counter`.
  void stream(std::uint32_t first_sample, int packets) {
    for (int p = 0; p < packets; ++p) {
      h.feed(walk_packet(h.encoder(), first_sample + 10u * static_cast<std::uint32_t>(p + 1) - 1, 1, nullptr));
    }
  }
  decoder_harness h;
};

TEST_F(Chunks, FullChunksWhileStreamingAndTheRemainderOnceAtTheFlush) {
  h.start();
  stream(0, 13);
  EXPECT_EQ(h.recorder.sizes(), (std::vector<std::size_t>{25, 25, 25, 25, 25}));
  h.flush();
  h.flush();  // nothing left: no second callback
  EXPECT_EQ(h.recorder.sizes(), (std::vector<std::size_t>{25, 25, 25, 25, 25, 5}));
  const auto numbers = h.values(eeg_channel_id::SAMPLE_NUMBER);
  ASSERT_EQ(numbers.size(), 130u);
  for (std::size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], static_cast<double>(i));
}

TEST_F(Chunks, TheConfiguredChunkSizeIsFrozenAtStart) {
  set_chunk_size(7);
  h.start();
  set_chunk_size(100);  // changes after the start do not alter the running stream
  stream(0, 3);
  EXPECT_EQ(h.recorder.sizes(), (std::vector<std::size_t>{7, 7, 7, 7}));
}

TEST_F(Chunks, WithoutACallbackSamplesAreDroppedAndDeliveryStillAdvances) {
  cy_eeg_manager_set_callback_chunk(h.handle(), nullptr, nullptr);
  h.start();
  stream(0, 3);  // 25 dropped at the delivery point, 5 still buffered
  h.recorder.attach(h.handle());
  stream(30, 2);  // the next delivery point is 50, not 25 after re-attaching
  EXPECT_EQ(h.recorder.sizes(), (std::vector<std::size_t>{25}));
  const auto numbers = h.values(eeg_channel_id::SAMPLE_NUMBER);
  EXPECT_EQ(numbers.front(), 25.0);
  EXPECT_EQ(numbers.back(), 49.0);
}

TEST_F(Chunks, AfterARestartTheFirstSampleIsDeliveredAlone) {
  h.start();
  stream(0, 13);
  h.flush();  // last delivery at sample 130
  h.recorder.clear();
  h.start();
  stream(0, 6);
  EXPECT_EQ(h.recorder.sizes(), (std::vector<std::size_t>{1, 25, 25}));
}

TEST(ChunkLayout, ChannelPositionsTypesAndPointers) {
  decoder_harness h(5);  // kestrel_v2: no accelerometer
  EXPECT_EQ(h.index(eeg_channel_id::SAMPLE_NUMBER), -1);
  const std::uint8_t* types = nullptr;
  std::size_t count = 99;
  cy_eeg_manager_get_stream_channel_data_types(h.handle(), &types, &count);
  EXPECT_EQ(count, 0u);

  const std::uint16_t unknown = 0x0999;
  h.enable({eeg_channel_id::STREAMING, eeg_channel_id::ACCELEROMETER_X, unknown,
            static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_CONTACT), measurement(1), measurement(0),
            eeg_channel_id::SAMPLE_NUMBER});
  h.enable({measurement(0)});  // twice: still one entry
  h.start();
  h.enable({measurement(2)});  // after the start: not streamed until the next one

  cy_eeg_manager_get_stream_channel_data_types(h.handle(), &types, &count);
  ASSERT_EQ(count, 7u);
  EXPECT_EQ(std::vector<std::uint8_t>(types, types + count),
            (std::vector<std::uint8_t>{CY_CHANNEL_UINT64, CY_CHANNEL_FLOAT64, CY_CHANNEL_FLOAT64, CY_CHANNEL_UINT8,
                                       CY_CHANNEL_NO_TYPE, CY_CHANNEL_FLOAT32, CY_CHANNEL_UINT8}));
  const std::uint16_t ids[] = {eeg_channel_id::SAMPLE_NUMBER, measurement(0), measurement(1),
                               eeg_channel_id::ELECTRODE_CONTACT, unknown, eeg_channel_id::ACCELEROMETER_X,
                               eeg_channel_id::STREAMING};
  for (std::int64_t i = 0; i < 7; ++i) EXPECT_EQ(cy_eeg_manager_get_channel_index(h.handle(), ids[i]), i);
  EXPECT_EQ(h.index(measurement(2)), -1);
  EXPECT_EQ(h.manager.get_channel_index_of_type(measurement(1)), 1u);
  EXPECT_EQ(h.manager.get_channel_index_of_type(eeg_channel_id::STREAMING), 1u);

  h.feed(walk_packet(h.encoder(), 49, 2, nullptr, 0xF));
  h.flush();
  const auto chunks = h.recorder.chunks();
  ASSERT_FALSE(chunks.empty());
  for (const auto& chunk : chunks) {
    EXPECT_TRUE(chunk.null_pointer[4]);  // the unknown channel
    // The model has no accelerometer: its channel reads as zeros instead of
    // past the end of an empty buffer.
    EXPECT_EQ(chunk.channels[5], std::vector<double>(chunk.sample_count, 0.0));
    EXPECT_EQ(chunk.channels[3], std::vector<double>(chunk.sample_count, 1.0));
  }
}

}  // namespace
}  // namespace calyra::core
