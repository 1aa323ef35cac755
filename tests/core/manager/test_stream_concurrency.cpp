// Concurrency stress against fast-paced virtual headsets: many cycles of
// start, stop, disconnect and free, host threads racing the notification
// thread, and link loss racing teardown. Run under ThreadSanitizer and
// AddressSanitizer as well; the sample checks make sure no sample is lost or
// repeated within an uninterrupted stream.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "chunk_recorder.h"
#include "virtual_fixture.h"

namespace calyra::core {
namespace {

using testing::chunk_recorder;

class StreamConcurrency : public testing::VirtualHeadsetTest {
 protected:
  static void enable_all(cy_eeg_manager* m) {
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_SAMPLE_NUMBER, true);
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_STREAMING, true);
    for (int e = 0; e < 4; ++e) {
      cy_eeg_manager_set_channel_enabled(m, static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT + e), true);
      cy_eeg_manager_set_channel_enabled(m, static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_CONTACT + e), true);
    }
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_ACCELEROMETER_X, true);
  }
  cy_eeg_manager* connect_kestrel(chunk_recorder& recorder) {
    cy_eeg_manager* m = cy_eeg_manager_new();
    EXPECT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
    enable_all(m);
    EXPECT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
    recorder.attach(m);
    return m;
  }
  // Every stream restarts at 0; within each stream every number from 0 to
  // the last must come exactly once, in order.
  static void expect_whole_streams(const chunk_recorder& recorder, int expected_streams) {
    const auto numbers = recorder.sample_numbers();
    int streams = 0;
    double next = 0;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      if (numbers[i] == 0) {
        ++streams;
        next = 0;
      }
      ASSERT_EQ(numbers[i], next) << "position " << i;
      next += 1;
    }
    EXPECT_EQ(streams, expected_streams);
  }
};

TEST_F(StreamConcurrency, ManyCyclesOfStartStopDisconnectAndFree) {
  start_library("CY KESTREL 5,pace=fast", CY_LOG_LEVEL_WARNING);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    chunk_recorder recorder;
    cy_eeg_manager* m = connect_kestrel(recorder);
    ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    ASSERT_TRUE(eventually([&] { return recorder.chunk_count() >= static_cast<std::size_t>(1 + round % 7); }));
    int streams = 1;
    switch (round % 4) {
      case 0:
        ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
        cy_eeg_manager_disconnect(m);
        break;
      case 1:
        cy_eeg_manager_disconnect(m);  // ends the local stream
        break;
      case 2:
        break;  // freed while streaming
      case 3: {
        ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
        enable_all(m);
        const std::size_t before = recorder.total_samples();
        ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
        ASSERT_TRUE(eventually([&] { return recorder.total_samples() > before; }));
        ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
        streams = 2;
        break;
      }
    }
    cy_eeg_manager_free(m);
    const std::size_t after_free = recorder.chunk_count();
    expect_whole_streams(recorder, streams);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(recorder.chunk_count(), after_free);
  }
}

TEST_F(StreamConcurrency, HostThreadsRaceTheNotificationThread) {
  start_library("CY KESTREL 5,pace=fast", CY_LOG_LEVEL_WARNING);
  chunk_recorder recorder;
  cy_eeg_manager* m = connect_kestrel(recorder);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      (void)cy_eeg_manager_is_streaming(m);
      (void)cy_eeg_manager_get_channel_index(m, CY_CHANNEL_STREAMING);
      (void)cy_eeg_manager_get_sample_frequency(m);
      (void)cy_eeg_manager_get_battery_info(m);
      (void)cy_eeg_manager_is_connected(m);
      cy_virtual_set_battery("CY KESTREL 5", 50, false);
    }
  });
  constexpr int cycles = 30;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    enable_all(m);
    const std::size_t before = recorder.total_samples();
    EXPECT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    const bool streamed = eventually([&] { return recorder.total_samples() > before; });
    EXPECT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
    if (!streamed) {
      ADD_FAILURE() << "no samples in cycle " << cycle;
      break;
    }
  }
  done = true;
  reader.join();
  cy_eeg_manager_free(m);
  expect_whole_streams(recorder, cycles);
}

TEST_F(StreamConcurrency, StartsAndStopsFromTwoHostThreads) {
  start_library("CY KESTREL 5,pace=fast", CY_LOG_LEVEL_WARNING);
  chunk_recorder recorder;
  cy_eeg_manager* m = connect_kestrel(recorder);
  std::atomic<int> stops{0};
  std::thread stopper([&] {
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
      ++stops;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  for (int i = 0; i < 50; ++i) {
    enable_all(m);
    EXPECT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  stopper.join();
  // Starts still queued run when this stop completes; the next stop finds
  // the queue empty.
  EXPECT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
  cy_eeg_manager_free(m);
  // A start may catch the channels half enabled again after a stop's reset,
  // so the layout no longer matches what the headset sends and the values
  // mean nothing; what must hold is that every chunk is consistent.
  for (const auto& chunk : recorder.chunks()) {
    ASSERT_EQ(chunk.channels.size(), chunk.types.size());
    for (const auto& column : chunk.channels) ASSERT_EQ(column.size(), chunk.sample_count);
  }
}

TEST_F(StreamConcurrency, LinkLossRacesTeardown) {
  start_library("CY KESTREL 5,pace=fast,drop_after=3", CY_LOG_LEVEL_WARNING);
  struct loss_flag {
    std::atomic<int> calls{0};
    static void on_lost(void* self) { ++static_cast<loss_flag*>(self)->calls; }
  };
  for (int round = 0; round < 20; ++round) {
    chunk_recorder recorder;
    cy_eeg_manager* m = connect_kestrel(recorder);
    loss_flag lost;
    cy_eeg_manager_set_callback_disconnect(m, &loss_flag::on_lost, &lost);
    ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    // Free as soon as the link-loss event starts, or (odd rounds) even before.
    if (round % 2 == 0) {
      ASSERT_TRUE(eventually([&] { return lost.calls.load() > 0; }));
    }
    cy_eeg_manager_free(m);
    EXPECT_LE(lost.calls.load(), 1);
  }
  // A host that frees the manager from inside its disconnect callback.
  for (int round = 0; round < 10; ++round) {
    chunk_recorder recorder;
    cy_eeg_manager* m = connect_kestrel(recorder);
    std::atomic<bool> freed{false};
    struct self_free {
      cy_eeg_manager* manager;
      std::atomic<bool>* freed;
      static void on_lost(void* self_pointer) {
        auto* self = static_cast<self_free*>(self_pointer);
        cy_eeg_manager_free(self->manager);
        *self->freed = true;
      }
    } context{m, &freed};
    cy_eeg_manager_set_callback_disconnect(m, &self_free::on_lost, &context);
    ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    ASSERT_TRUE(eventually([&] { return freed.load(); }));
  }
}

TEST_F(StreamConcurrency, StdoutDiagnosticsSwitchedWhileGapsAreReported) {
  start_library("CY KESTREL 5,pace=fast,loss=0.3,seed=3", CY_LOG_LEVEL_WARNING);
  chunk_recorder recorder;
  cy_eeg_manager* m = connect_kestrel(recorder);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  for (int i = 0; i < 200; ++i) {
    cy_core_set_stdout_diagnostics(i % 2 == 0);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  cy_core_set_stdout_diagnostics(false);
  const bool logged = eventually([&] { return !lines_with("|||||MISSED||||| ").empty(); });
  cy_eeg_manager_free(m);
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(logged);
}

}  // namespace
}  // namespace calyra::core
