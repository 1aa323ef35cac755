// The connection lifecycle as a demanding host drives it: reconnecting,
// connecting elsewhere, failed connects and starts, several managers on one
// headset, link loss, and freeing from the link-loss callback or another
// thread. Each case once left a link, a handler or a stream behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capabilities/device_features.h"
#include "chunk_recorder.h"
#include "virtual_fixture.h"

namespace calyra::core {
namespace {

using namespace std::chrono_literals;
using testing::chunk_recorder;

std::uint16_t measurement(int e) { return static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT + e); }

cy_virtual_stats stats_of(const char* name) {
  cy_virtual_stats stats{};
  EXPECT_EQ(cy_virtual_get_stats(name, &stats), CY_OK);
  return stats;
}

class Lifecycle : public testing::VirtualHeadsetTest {
 protected:
  // Connects `m` to `name` with four electrodes and the sample number enabled.
  static cy_error connect_and_configure(cy_eeg_manager* m, const char* name) {
    const cy_error connected = cy_eeg_manager_connect(m, name, nullptr, nullptr);
    if (connected != CY_OK) return connected;
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_SAMPLE_NUMBER, true);
    for (int e = 0; e < 4; ++e) {
      cy_eeg_manager_set_channel_enabled(m, measurement(e), true);
      cy_eeg_manager_set_channel_gain(m, measurement(e), CY_GAIN_X8);
    }
    return cy_eeg_manager_load_config(m, nullptr, nullptr);
  }
  cy_eeg_manager* streaming_manager(const char* name, chunk_recorder& recorder) {
    cy_eeg_manager* m = new_manager();
    EXPECT_EQ(connect_and_configure(m, name), CY_OK);
    recorder.attach(m);
    EXPECT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    EXPECT_TRUE(eventually([&] { return recorder.chunk_count() >= 4; }));
    return m;
  }
  // True when no chunk arrives for a while.
  static bool stays_silent(const chunk_recorder& recorder) {
    const std::size_t before = recorder.chunk_count();
    std::this_thread::sleep_for(30ms);
    return recorder.chunk_count() == before;
  }
};

TEST_F(Lifecycle, AFailedConnectClosesTheOldLinkAndLeavesNothingRunning) {
  start_library("CY KESTREL 5,pace=fast;CY KESTREL 6,pace=fast");
  chunk_recorder recorder;
  cy_eeg_manager* m = streaming_manager("CY KESTREL 5", recorder);

  EXPECT_EQ(cy_eeg_manager_connect(m, "NOPE", nullptr, nullptr), CY_DEVICE_NOT_FOUND);
  EXPECT_FALSE(cy_eeg_manager_is_connected(m));
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
  EXPECT_TRUE(stays_silent(recorder));
  EXPECT_FALSE(stats_of("CY KESTREL 5").connected);

  // Connecting elsewhere afterwards, then freeing, leaves both headsets free.
  ASSERT_EQ(connect_and_configure(m, "CY KESTREL 6"), CY_OK);
  EXPECT_TRUE(stats_of("CY KESTREL 6").connected);
  forget(m);
  cy_eeg_manager_free(m);
  EXPECT_TRUE(stays_silent(recorder));
  EXPECT_FALSE(stats_of("CY KESTREL 5").connected);
  EXPECT_FALSE(stats_of("CY KESTREL 6").connected);
}

TEST_F(Lifecycle, ConnectingWhileStreamingDeliversTheBufferedSamplesAndReleasesTheOldLink) {
  // Chunks larger than a packet, so samples are buffered when the connect comes.
  start_library("CY KESTREL 5,pace=fast;CY KESTREL 6,pace=fast", CY_LOG_LEVEL_DEBUG, 70);
  chunk_recorder recorder;
  cy_eeg_manager* m = streaming_manager("CY KESTREL 5", recorder);
  ASSERT_EQ(connect_and_configure(m, "CY KESTREL 6"), CY_OK);
  const cy_virtual_stats old_link = stats_of("CY KESTREL 5");
  EXPECT_FALSE(old_link.connected);
  // Every sample the old headset sent reached the host, the last partial chunk included.
  EXPECT_EQ(recorder.total_samples(), old_link.packets_sent * 50u);
  const auto numbers = recorder.sample_numbers();
  for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], numbers[i - 1] + 1);

  // Reconnecting to the same headset works the same way.
  ASSERT_EQ(connect_and_configure(m, "CY KESTREL 6"), CY_OK);
  EXPECT_TRUE(stats_of("CY KESTREL 6").connected);
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
}

TEST_F(Lifecycle, FreeingDuringTheLinkLossCallbackWaitsForTheFinalChunk) {
  // The host disconnects from its link-loss callback while another thread
  // frees the manager; the final chunk must not be delivered after free.
  start_library("CY KESTREL 5,pace=fast,drop_after=15", CY_LOG_LEVEL_DEBUG, 1000);
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(connect_and_configure(m, "CY KESTREL 5"), CY_OK);
  static std::atomic<bool> entered{false};
  static std::atomic<bool> finished{false};
  static std::atomic<bool> flushing{false};
  static std::atomic<bool> flush_done{false};
  entered = finished = flushing = flush_done = false;
  cy_eeg_manager_set_callback_chunk(
      m,
      [](const void* const*, std::size_t, void*) {
        if (!entered) return;
        flushing = true;
        std::this_thread::sleep_for(100ms);
        flush_done = true;
      },
      nullptr);
  cy_eeg_manager_set_callback_disconnect(
      m,
      [](void* manager) {
        entered = true;
        cy_eeg_manager_disconnect(static_cast<cy_eeg_manager*>(manager));
        finished = true;
      },
      m);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(eventually([&] { return flushing.load() || finished.load(); }));
  forget(m);
  cy_eeg_manager_free(m);
  EXPECT_TRUE(!flushing.load() || flush_done.load());
  std::this_thread::sleep_for(150ms);  // let a late callback show itself
  EXPECT_TRUE(finished.load());
}

TEST_F(Lifecycle, FreeingFromInsideTheLinkLossCallback) {
  start_library("CY KESTREL 5,pace=fast,drop_after=5");
  chunk_recorder recorder;
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(connect_and_configure(m, "CY KESTREL 5"), CY_OK);
  recorder.attach(m);
  forget(m);
  static std::atomic<bool> freed{false};
  freed = false;
  cy_eeg_manager_set_callback_disconnect(
      m,
      [](void* manager) {
        cy_eeg_manager_free(static_cast<cy_eeg_manager*>(manager));
        freed = true;
      },
      m);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(eventually([&] { return freed.load(); }));
  EXPECT_TRUE(stays_silent(recorder));
  EXPECT_FALSE(stats_of("CY KESTREL 5").connected);
}

TEST_F(Lifecycle, OneManagersTeardownLeavesAnotherManagersSessionAlone) {
  start_library("CY KESTREL 5,pace=fast");
  chunk_recorder first_chunks;
  chunk_recorder second_chunks;
  cy_eeg_manager* first = streaming_manager("CY KESTREL 5", first_chunks);
  ASSERT_EQ(cy_virtual_drop_link("CY KESTREL 5"), CY_OK);
  ASSERT_TRUE(eventually([&] { return !cy_eeg_manager_is_connected(first); }));

  cy_eeg_manager* second = streaming_manager("CY KESTREL 5", second_chunks);
  std::atomic<int> battery_calls{0};
  cy_eeg_manager_set_callback_battery(
      second, [](const cy_battery_info*, void* calls) { ++*static_cast<std::atomic<int>*>(calls); },
      &battery_calls);
  forget(first);
  cy_eeg_manager_free(first);

  const std::size_t before = second_chunks.chunk_count();
  EXPECT_TRUE(eventually([&] { return second_chunks.chunk_count() > before + 4; }));
  ASSERT_EQ(cy_virtual_set_battery("CY KESTREL 5", 42, false), CY_OK);
  EXPECT_TRUE(eventually([&] { return battery_calls.load() > 0; }));
  EXPECT_TRUE(cy_eeg_manager_is_connected(second));
  EXPECT_TRUE(cy_eeg_manager_is_streaming(second));
  EXPECT_TRUE(stats_of("CY KESTREL 5").connected);

  // Two managers holding one link: the link closes with the last of them.
  chunk_recorder third_chunks;
  cy_eeg_manager* third = new_manager();
  ASSERT_EQ(connect_and_configure(third, "CY KESTREL 5"), CY_OK);
  cy_eeg_manager_disconnect(third);
  const std::size_t still = second_chunks.chunk_count();
  EXPECT_TRUE(eventually([&] { return second_chunks.chunk_count() > still + 4; }));
  cy_eeg_manager_disconnect(second);
  EXPECT_FALSE(stats_of("CY KESTREL 5").connected);
}

TEST_F(Lifecycle, AStartRacingADisconnectNeverLeavesADisconnectedManagerStreaming) {
  start_library("CY KESTREL 5,pace=fast");
  cy_eeg_manager* m = new_manager();
  for (int round = 0; round < 100; ++round) {
    ASSERT_EQ(connect_and_configure(m, "CY KESTREL 5"), CY_OK);
    std::thread starter([&] { cy_eeg_manager_start_stream(m, nullptr, nullptr); });
    cy_eeg_manager_disconnect(m);
    starter.join();
    EXPECT_FALSE(cy_eeg_manager_is_connected(m));
    ASSERT_FALSE(cy_eeg_manager_is_streaming(m)) << "round " << round;
  }
  // A stop that finds the manager disconnected reports OK, as documented.
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(connect_and_configure(m, "CY KESTREL 5"), CY_OK);
    ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    std::atomic<cy_error> stop_result{CY_OK};
    std::thread stopper([&] { stop_result = cy_eeg_manager_stop_stream(m, nullptr, nullptr); });
    cy_eeg_manager_disconnect(m);
    stopper.join();
    EXPECT_EQ(stop_result.load(), CY_OK) << "round " << round;
    EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
  }
  EXPECT_FALSE(stats_of("CY KESTREL 5").connected);
}

TEST_F(Lifecycle, AFailedStartRollsBackAndIsNotRepeatedAsSuccess) {
  start_library("CY KESTREL 5,pace=fast,fail=stream_control");
  chunk_recorder recorder;
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(connect_and_configure(m, "CY KESTREL 5"), CY_OK);
  recorder.attach(m);
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_CONNECTION_ERROR);
    EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
  }
  // The stream subscription went with the failed start: a stop ends nothing
  // and nothing arrives.
  EXPECT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_CONNECTION_ERROR);
  EXPECT_TRUE(stays_silent(recorder));
  EXPECT_EQ(recorder.chunk_count(), 0u);
}

TEST_F(Lifecycle, ChunksNextToGapsNeverExceedTheChunkSize) {
  for (const std::uint64_t chunk_size : {1u, 7u, 25u}) {
    SCOPED_TRACE(chunk_size);
    start_library("CY KESTREL 5,pace=fast,loss=0.3,seed=5", CY_LOG_LEVEL_WARNING, chunk_size);
    chunk_recorder recorder;
    ::testing::internal::CaptureStdout();  // the MISSED lines
    cy_eeg_manager* m = streaming_manager("CY KESTREL 5", recorder);
    ASSERT_TRUE(eventually([&] { return recorder.total_samples() > 3000; }));
    ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
    ::testing::internal::GetCapturedStdout();
    ASSERT_GT(stats_of("CY KESTREL 5").packets_lost, 0u);
    for (const std::size_t size : recorder.sizes()) ASSERT_LE(size, chunk_size);
    // Filled and decoded samples together count up without a hole.
    const auto numbers = recorder.sample_numbers();
    for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], numbers[i - 1] + 1);
    TearDown();
    SetUp();
  }
}

TEST_F(Lifecycle, AnnotationsSurviveAConcurrentDisconnect) {
  start_library("CY KESTREL 5,pace=fast");
  chunk_recorder recorder;
  cy_eeg_manager* m = streaming_manager("CY KESTREL 5", recorder);
  ASSERT_TRUE(eventually([&] { return cy_eeg_manager_annotate(m, "ready") == CY_OK; }));
  std::atomic<bool> done{false};
  std::thread annotator([&] {
    while (!done) {
      cy_eeg_manager_annotate(m, "marker");
      cy_annotation* records = nullptr;
      std::size_t count = 0;
      cy_eeg_manager_get_annotations(m, &records, &count);
    }
  });
  std::this_thread::sleep_for(5ms);
  cy_eeg_manager_disconnect(m);
  done = true;
  annotator.join();
  EXPECT_FALSE(cy_eeg_manager_is_connected(m));
}

TEST_F(Lifecycle, StartingWithSettingsTheHeadsetWasNotSentIsWarnedAbout) {
  start_library("CY KESTREL 5,pace=fast");
  cy_eeg_manager* m = new_manager();
  const std::string warning = "Channel settings changed since the last configuration upload";
  const std::string never = "Starting the stream without a configuration upload since connecting";
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_EQ(lines_with(never).size(), 1u);
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);

  ASSERT_EQ(connect_and_configure(m, "CY KESTREL 5"), CY_OK);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_TRUE(lines_with(warning).empty());
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  // The stop reset the settings; enabling an electrode without uploading.
  cy_eeg_manager_set_channel_enabled(m, measurement(0), true);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_EQ(lines_with(warning).size(), 1u);
  EXPECT_EQ(lines_with(never).size(), 1u);
}

}  // namespace
}  // namespace calyra::core
