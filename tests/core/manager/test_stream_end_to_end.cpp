// Streaming end to end through the C API against virtual headsets: start,
// chunks and their contents, stop and its completion, restart, a start
// queued behind a stop, disconnect with the final partial chunk, freeing a
// streaming manager, link loss, packet loss, impedance mode, every model,
// and the failure paths of start and stop.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simulator/synthetic_signal.h"
#include "capabilities/device_features.h"
#include "chunk_recorder.h"
#include "virtual_fixture.h"

namespace calyra::core {
namespace {

using testing::callback_probe;
using testing::chunk_recorder;

std::uint16_t measurement(int e) { return static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT + e); }
std::uint16_t contact(int e) { return static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_CONTACT + e); }

class Streaming : public testing::VirtualHeadsetTest {
 protected:
  // Connects to `name`, enables every channel of its model at gain X8 and
  // uploads the settings.
  cy_eeg_manager* connect_all_channels(const char* name) {
    cy_eeg_manager* m = new_manager();
    EXPECT_EQ(cy_eeg_manager_connect(m, name, nullptr, nullptr), CY_OK);
    enable_all(m);
    EXPECT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
    recorder.attach(m);
    return m;
  }
  static void enable_all(cy_eeg_manager* m) {
    const auto* model = capabilities::for_model_code(cy_eeg_manager_get_device_info(m)->id);
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_SAMPLE_NUMBER, true);
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_STREAMING, true);
    for (int e = 0; e < model->electrode_count(); ++e) {
      cy_eeg_manager_set_channel_enabled(m, measurement(e), true);
      cy_eeg_manager_set_channel_enabled(m, contact(e), true);
      cy_eeg_manager_set_channel_gain(m, measurement(e), CY_GAIN_X8);
    }
    if (model->has_accel()) {
      for (std::uint16_t id : {CY_CHANNEL_ACCELEROMETER_X, CY_CHANNEL_ACCELEROMETER_Y, CY_CHANNEL_ACCELEROMETER_Z}) {
        cy_eeg_manager_set_channel_enabled(m, id, true);
      }
    }
  }
  std::vector<double> values(cy_eeg_manager* m, std::uint16_t channel) const {
    const auto index = cy_eeg_manager_get_channel_index(m, channel);
    return index < 0 ? std::vector<double>{} : recorder.channel(static_cast<std::size_t>(index));
  }
  bool wait_for_chunks(std::size_t count) {
    return eventually([&] { return recorder.chunk_count() >= count; });
  }
  static void expect_consecutive_from(const std::vector<double>& numbers, double first) {
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      ASSERT_EQ(numbers[i], first + static_cast<double>(i)) << "position " << i;
    }
  }

  chunk_recorder recorder;
};

TEST_F(Streaming, ChunksCarryTheHeadsetsSignalUntilTheStopCompletes) {
  start_library("CY KESTREL 5,pace=fast");
  cy_eeg_manager* m = connect_all_channels("CY KESTREL 5");
  callback_probe started;
  ASSERT_EQ(cy_eeg_manager_start_stream(m, &callback_probe::on_event, &started), CY_OK);
  EXPECT_EQ(started.calls, 1);  // once the start command is written, on this thread
  EXPECT_EQ(started.thread.load(), std::this_thread::get_id());
  EXPECT_TRUE(cy_eeg_manager_is_streaming(m));
  ASSERT_TRUE(wait_for_chunks(40));

  // Column positions of the running stream, read before the stop resets them.
  const auto index_of_number = cy_eeg_manager_get_channel_index(m, CY_CHANNEL_SAMPLE_NUMBER);
  const auto index_of_flag = cy_eeg_manager_get_channel_index(m, CY_CHANNEL_STREAMING);
  std::vector<std::int64_t> electrode_index;
  for (int e = 0; e < 4; ++e) electrode_index.push_back(cy_eeg_manager_get_channel_index(m, measurement(e)));

  callback_probe stopped;
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, &callback_probe::on_event, &stopped), CY_OK);
  EXPECT_EQ(stopped.calls, 1);  // completed before the stop returned
  EXPECT_EQ(stopped.thread.load(), std::this_thread::get_id());
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
  EXPECT_EQ(cy_eeg_manager_get_channel_index(m, CY_CHANNEL_SAMPLE_NUMBER), -1);  // settings reset
  const std::size_t after_stop = recorder.chunk_count();

  const auto sizes = recorder.sizes();
  for (std::size_t i = 0; i + 1 < sizes.size(); ++i) ASSERT_EQ(sizes[i], 25u) << i;
  EXPECT_GE(sizes.back(), 1u);
  EXPECT_LE(sizes.back(), 25u);

  const auto numbers = recorder.channel(static_cast<std::size_t>(index_of_number));
  expect_consecutive_from(numbers, 0);
  EXPECT_EQ(numbers.size() % 50, 0u);  // whole packets, the last partial chunk included
  EXPECT_EQ(recorder.channel(static_cast<std::size_t>(index_of_flag)), std::vector<double>(numbers.size(), 1.0));

  // The virtual headset's signal, within the quantisation of 12-bit differences.
  const calyra::simulator::synthetic_signal signal(1, 50.0);
  for (int e = 0; e < 4; ++e) {
    const auto microvolts = recorder.channel(static_cast<std::size_t>(electrode_index[static_cast<std::size_t>(e)]));
    ASSERT_EQ(microvolts.size(), numbers.size());
    for (std::size_t s = 0; s < microvolts.size(); ++s) {
      ASSERT_NEAR(microvolts[s], signal.microvolts(static_cast<unsigned>(e), s, 250.0), 0.5)
          << "electrode " << e << " sample " << s;
    }
  }

  const std::string p = prefix(m);
  long last = -1;
  for (const std::string& line :
       {"[INFO] " + p + "Missed packets: 0", "[INFO] " + p + "Stopping stream...", "[INFO] " + p + "Stream stopped",
        "[DEBUG] " + p + "Final sample: ", "[INFO] " + p + "Joining stream...", "[INFO] " + p + "Joined stream",
        "[INFO] " + p + "Future callback done", "[DEBUG] " + p + "Future callback done"}) {
    const long at = position_of(line, last, true);
    EXPECT_GT(at, last) << line;
    last = at;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(recorder.chunk_count(), after_stop);  // nothing after the stop
}

TEST_F(Streaming, AStartQueuedBehindTheStopRunsAfterItAndARestartBeginsAtZero) {
  start_library("CY KESTREL 5,pace=fast");
  cy_eeg_manager* m = connect_all_channels("CY KESTREL 5");
  struct order_log {
    std::mutex mutex;
    std::string events;
    static void started(void* self) {
      static_cast<order_log*>(self)->add('S');
      // Leaves time for a notification of this start to arrive and wait for
      // the stream lock before the next queued start runs.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    static void stopped(void* self) { static_cast<order_log*>(self)->add('s'); }
    void add(char c) {
      std::lock_guard lock(mutex);
      events += c;
    }
  } order;
  ASSERT_EQ(cy_eeg_manager_start_stream(m, &order_log::started, &order), CY_OK);
  ASSERT_TRUE(wait_for_chunks(4));
  ASSERT_EQ(cy_eeg_manager_start_stream(m, &order_log::started, &order), CY_OK);  // queued
  ASSERT_EQ(cy_eeg_manager_start_stream(m, &order_log::started, &order), CY_OK);  // queued
  EXPECT_EQ(order.events, "S");
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, &order_log::stopped, &order), CY_OK);
  EXPECT_EQ(order.events, "SsSS");
  // The queued starts ran after the stop had reset the settings: they stream
  // no channel until the host enables some and starts again.
  EXPECT_TRUE(cy_eeg_manager_is_streaming(m));
  const std::uint8_t* types = nullptr;
  std::size_t count = 1;
  cy_eeg_manager_get_stream_channel_data_types(m, &types, &count);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));

  recorder.clear();
  enable_all(m);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(wait_for_chunks(10));
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  // Packets decoded between the stop request and the unsubscription leave
  // the last delivery point of the previous stream above the new stream's
  // first samples: its first sample then comes alone.
  const auto sizes = recorder.sizes();
  EXPECT_TRUE(sizes[0] == 1 || sizes[0] == 25) << sizes[0];
  for (std::size_t i = 1; i + 1 < sizes.size(); ++i) ASSERT_EQ(sizes[i], 25u) << i;
  expect_consecutive_from(recorder.channel(0), 0);  // SAMPLE_NUMBER is channel 0
}

TEST_F(Streaming, AStopBetweenTwoPacketsDoesNotBlockTheNextStart) {
  // Realtime pace: the stop falls between two packets, so no notification
  // reaches the stop's target after it; the stop must complete anyway.
  start_library("CY KESTREL 5");
  cy_eeg_manager* m = connect_all_channels("CY KESTREL 5");
  for (int stream = 0; stream < 2; ++stream) {
    recorder.clear();
    callback_probe stopped;
    ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    ASSERT_TRUE(wait_for_chunks(2)) << "stream " << stream;
    ASSERT_EQ(cy_eeg_manager_stop_stream(m, &callback_probe::on_event, &stopped), CY_OK);
    EXPECT_EQ(stopped.calls, 1);
    EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
    enable_all(m);
  }
}

// Notes which chunks arrive on the host thread, and whether "Disconnected"
// was the last log line at that moment.
struct flush_watch {
  std::thread::id host;
  std::string log_path;
  std::string disconnected_line;
  std::atomic<std::size_t> total{0};
  std::atomic<int> host_chunks{0};
  std::atomic<std::size_t> host_samples{0};
  std::atomic<bool> after_disconnected{false};

  static void on_chunk(const void* const*, std::size_t count, void* self_pointer) {
    auto* self = static_cast<flush_watch*>(self_pointer);
    self->total += count;
    if (std::this_thread::get_id() != self->host) return;
    ++self->host_chunks;
    self->host_samples += count;
    std::ifstream log(self->log_path);
    std::string line;
    std::string last;
    while (std::getline(log, line)) last = line;
    self->after_disconnected = last == self->disconnected_line;
  }
};

TEST_F(Streaming, DisconnectDeliversThePartialChunkAfterDisconnected) {
  start_library("CY KESTREL 5", CY_LOG_LEVEL_DEBUG, 60);  // realtime: 5 packets of 50 per second
  cy_eeg_manager* m = connect_all_channels("CY KESTREL 5");
  flush_watch watch;
  watch.host = std::this_thread::get_id();
  watch.log_path = log_file();
  watch.disconnected_line = "[INFO] " + prefix(m) + "Disconnected";
  cy_eeg_manager_set_callback_chunk(m, &flush_watch::on_chunk, &watch);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  // The first chunk comes with the second packet (100 samples), leaving 40.
  ASSERT_TRUE(eventually([&] { return watch.total.load() > 0; }));
  cy_eeg_manager_disconnect(m);

  const std::size_t streamed = watch.total.load();
  EXPECT_EQ(streamed % 50, 0u);  // every decoded sample was delivered
  if (streamed % 60 != 0) {
    EXPECT_EQ(watch.host_chunks, 1);
    EXPECT_EQ(watch.host_samples, streamed % 60);
    EXPECT_TRUE(watch.after_disconnected);
  } else {
    EXPECT_EQ(watch.host_chunks, 0);
  }
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
  EXPECT_FALSE(cy_eeg_manager_is_connected(m));
  cy_virtual_stats stats{};
  ASSERT_EQ(cy_virtual_get_stats("CY KESTREL 5", &stats), CY_OK);
  EXPECT_FALSE(stats.connected);
  EXPECT_FALSE(stats.streaming);
}

TEST_F(Streaming, FreeingAStreamingManagerStopsItsCallbacks) {
  start_library("CY KESTREL 5,pace=fast");
  for (int round = 0; round < 5; ++round) {
    cy_eeg_manager* m = connect_all_channels("CY KESTREL 5");
    ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    ASSERT_TRUE(wait_for_chunks(static_cast<std::size_t>(5 * (round + 1))));
    forget(m);
    cy_eeg_manager_free(m);
    const std::size_t after_free = recorder.chunk_count();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(recorder.chunk_count(), after_free);
  }
}

TEST_F(Streaming, LinkLossEndsTheStreamAndCallsTheDisconnectCallbackOnceOffTheHostThread) {
  start_library("CY KESTREL 5,pace=fast,drop_after=20");
  cy_eeg_manager* m = connect_all_channels("CY KESTREL 5");
  callback_probe lost;
  cy_eeg_manager_set_callback_disconnect(m, &callback_probe::on_event, &lost);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(eventually([&] { return lost.calls.load() > 0; }));
  EXPECT_NE(lost.thread.load(), std::this_thread::get_id());
  // The manager ends its side before telling the host: nothing streams, the
  // final chunk is out, and nothing can be queued behind a stream that no
  // stop can end.
  EXPECT_FALSE(cy_eeg_manager_is_connected(m));
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
  EXPECT_EQ(recorder.total_samples(), 20u * 50u);
  EXPECT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_CONNECTION_ERROR);
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
  cy_eeg_manager_disconnect(m);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(lost.calls, 1);

  // A host that disconnects from inside the callback, one that reconnects
  // from there, and one without a callback.
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  cy_eeg_manager_set_callback_disconnect(
      m, [](void* manager) { cy_eeg_manager_disconnect(static_cast<cy_eeg_manager*>(manager)); }, m);
  ASSERT_EQ(cy_virtual_drop_link("CY KESTREL 5"), CY_OK);
  EXPECT_TRUE(eventually([&] { return lines_with(prefix(m) + "Connection lost").size() == 2; }));
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  static std::atomic<int> reconnected{0};
  reconnected = 0;
  cy_eeg_manager_set_callback_disconnect(
      m,
      [](void* manager) {
        const cy_error result =
            cy_eeg_manager_connect(static_cast<cy_eeg_manager*>(manager), "CY KESTREL 5", nullptr, nullptr);
        reconnected = result == CY_OK ? 1 : -1;
      },
      m);
  ASSERT_EQ(cy_virtual_drop_link("CY KESTREL 5"), CY_OK);
  ASSERT_TRUE(eventually([&] { return reconnected.load() != 0; }));
  EXPECT_EQ(reconnected.load(), 1);
  EXPECT_TRUE(cy_eeg_manager_is_connected(m));
  cy_eeg_manager_set_callback_disconnect(m, nullptr, nullptr);
  ASSERT_EQ(cy_virtual_drop_link("CY KESTREL 5"), CY_OK);
  EXPECT_TRUE(eventually([&] { return !cy_eeg_manager_is_connected(m); }));
}

TEST_F(Streaming, LostPacketsAreFilledReportedAndCounted) {
  start_library("CY KESTREL 5,pace=fast,loss=0.2,seed=3");
  cy_eeg_manager* m = connect_all_channels("CY KESTREL 5");
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(wait_for_chunks(100));
  const auto number_index = static_cast<std::size_t>(cy_eeg_manager_get_channel_index(m, CY_CHANNEL_SAMPLE_NUMBER));
  const auto flag_index = static_cast<std::size_t>(cy_eeg_manager_get_channel_index(m, CY_CHANNEL_STREAMING));
  const auto e0_index = static_cast<std::size_t>(cy_eeg_manager_get_channel_index(m, measurement(0)));
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  const std::string out = ::testing::internal::GetCapturedStdout();

  const auto numbers = recorder.channel(number_index);
  expect_consecutive_from(numbers, 0);
  const auto flags = recorder.channel(flag_index);
  const auto microvolts = recorder.channel(e0_index);
  std::size_t fillers = 0;
  for (std::size_t s = 0; s < flags.size(); ++s) {
    if (flags[s] == 0.0) {
      ++fillers;
      ASSERT_EQ(microvolts[s], 0.0);
    }
  }
  std::size_t missed_lines = 0;
  const std::string missed = "CY KESTREL 5|||||MISSED||||| ";
  for (std::size_t at = out.find(missed); at != std::string::npos; at = out.find(missed, at + 1)) {
    ++missed_lines;
  }
  EXPECT_GT(fillers, 0u);
  EXPECT_EQ(fillers % 50, 0u);  // whole packets
  EXPECT_GT(missed_lines, 0u);
  EXPECT_LE(missed_lines, fillers / 50);  // one line per gap, a gap may span packets
  // The stop reports the count when it is requested; packets decoded until
  // the unsubscription may still add gaps.
  const auto reported = lines_with(prefix(m) + "Missed packets: ");
  ASSERT_EQ(reported.size(), 1u);
  const auto count = std::stoul(reported[0].substr(reported[0].rfind(' ') + 1));
  EXPECT_GT(count, 0u);
  EXPECT_LE(count, missed_lines);
}

TEST_F(Streaming, ImpedanceModeStreamsRawCountsWithContactsSet) {
  start_library("CY KESTREL 5,pace=fast");
  cy_eeg_manager* m = new_manager();
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  enable_all(m);
  cy_eeg_manager_set_impedance_mode(m, 1);
  ASSERT_EQ(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_OK);
  recorder.attach(m);
  ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(wait_for_chunks(10));
  const auto e1_index = static_cast<std::size_t>(cy_eeg_manager_get_channel_index(m, measurement(1)));
  const auto c1_index = static_cast<std::size_t>(cy_eeg_manager_get_channel_index(m, contact(1)));
  ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  const auto counts = recorder.channel(e1_index);
  ASSERT_FALSE(counts.empty());
  bool any_large = false;
  for (const double v : counts) {
    ASSERT_EQ(v, std::floor(v));  // not scaled
    any_large = any_large || std::fabs(v) > 1000.0;
  }
  EXPECT_TRUE(any_large);
  EXPECT_EQ(recorder.channel(c1_index), std::vector<double>(counts.size(), 1.0));
}

TEST_F(Streaming, EveryModelStreamsItsChannels) {
  start_library(
      "CY M0,model=0,pace=fast;CY M1,model=1,pace=fast;CY M2,model=2,pace=fast;CY M3,model=3,pace=fast;"
      "CY M4,model=4,pace=fast;CY M5,model=5,pace=fast");
  for (std::uint8_t code = 0; code <= 5; ++code) {
    SCOPED_TRACE(int{code});
    recorder.clear();
    const std::string name = "CY M" + std::to_string(code);
    cy_eeg_manager* m = connect_all_channels(name.c_str());
    ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    ASSERT_TRUE(wait_for_chunks(8));
    const auto* model = capabilities::for_model_code(code);
    const std::size_t channels = 2u + 2u * model->electrode_count() + (model->has_accel() ? 3u : 0u);
    const std::uint8_t* types = nullptr;
    std::size_t count = 0;
    cy_eeg_manager_get_stream_channel_data_types(m, &types, &count);
    EXPECT_EQ(count, channels);
    ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
    for (const auto& chunk : recorder.chunks()) {
      ASSERT_EQ(chunk.channels.size(), channels);
      for (const auto& column : chunk.channels) ASSERT_EQ(column.size(), chunk.sample_count);
    }
    const auto numbers = recorder.channel(0);
    expect_consecutive_from(numbers, 0);
    EXPECT_EQ(numbers.size() % model->samples_per_packet(), 0u);
    cy_eeg_manager_disconnect(m);
  }
}

TEST_F(Streaming, StartAndStopFailuresAndTheNoConnectionPaths) {
  start_library("CY FAILING,fail=stream_control;CY KESTREL 5");
  cy_eeg_manager* m = new_manager();
  callback_probe probe;
  EXPECT_EQ(cy_eeg_manager_start_stream(m, &callback_probe::on_event, &probe), CY_CONNECTION_ERROR);
  EXPECT_EQ(cy_eeg_manager_stop_stream(m, &callback_probe::on_event, &probe), CY_OK);
  EXPECT_EQ(probe.calls, 0);
  EXPECT_GE(position_of("[INFO] " + prefix(m) + "Unable to start stream - no connection to device"), 0);
  EXPECT_GE(position_of("[INFO] " + prefix(m) + "Unable to stop stream - no connection to device"), 0);
  cy_eeg_manager_disconnect(m);
  EXPECT_GE(position_of("[INFO] " + prefix(m) + "Unable to disconnect - no connection to device"), 0);

  ASSERT_EQ(cy_eeg_manager_connect(m, "CY FAILING", nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_start_stream(m, &callback_probe::on_event, &probe), CY_CONNECTION_ERROR);
  EXPECT_EQ(probe.calls, 0);
  EXPECT_EQ(lines_with("[ERROR] " + prefix(m) + "Caught connection error: ").size(), 1u);
  EXPECT_EQ(cy_eeg_manager_stop_stream(m, &callback_probe::on_event, &probe), CY_CONNECTION_ERROR);
  EXPECT_EQ(probe.calls, 0);
  EXPECT_EQ(lines_with("[ERROR] " + prefix(m) + "Caught connection error: ").size(), 2u);
  cy_eeg_manager_disconnect(m);
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));

  // A stop with nothing streamed completes at once on the calling thread.
  ASSERT_EQ(cy_eeg_manager_connect(m, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_stop_stream(m, &callback_probe::on_event, &probe), CY_OK);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.thread.load(), std::this_thread::get_id());
}

TEST_F(Streaming, AStartWhosePacketsCannotFitTheLinkIsRefusedOrWarned) {
  // A KESTREL with accelerometer streaming all 4 electrodes: one sample takes
  // 24 bytes, a full packet of 50 samples 318 (612 in impedance mode). A
  // notification carries MTU - 3 bytes.
  start_library("CY MTU 26,mtu=26,pace=fast;CY MTU 27,mtu=27,pace=fast;CY MTU 320,mtu=320,pace=fast;"
                "CY MTU 321,mtu=321,pace=fast");
  const auto warnings_of = [&](cy_eeg_manager* m) {
    return lines_with("[WARNING] " + prefix(m) + "Starting the stream although a full packet of 50 samples");
  };
  cy_eeg_manager* m = connect_all_channels("CY MTU 26");
  callback_probe started;
  EXPECT_EQ(cy_eeg_manager_start_stream(m, &callback_probe::on_event, &started), CY_PRECONDITION_FAILED);
  EXPECT_EQ(started.calls, 0);
  EXPECT_FALSE(cy_eeg_manager_is_streaming(m));
  EXPECT_GE(position_of("[ERROR] " + prefix(m) +
                        "Unable to start stream - a packet of one sample of the 4 streamed electrodes takes 24 "
                        "bytes, but a notification on this link (MTU 26) carries at most 23 bytes: stream fewer "
                        "electrodes or use a link with a larger MTU"),
            0);
  // Two electrodes: one sample (18 bytes) fits, a full packet (165) does not.
  for (const int e : {2, 3}) {
    cy_eeg_manager_set_channel_enabled(m, measurement(e), false);
    cy_eeg_manager_set_channel_enabled(m, contact(e), false);
  }
  EXPECT_EQ(cy_eeg_manager_start_stream(m, &callback_probe::on_event, &started), CY_OK);
  EXPECT_EQ(started.calls, 1);
  EXPECT_TRUE(cy_eeg_manager_is_streaming(m));
  ASSERT_EQ(warnings_of(m).size(), 1u);
  EXPECT_NE(warnings_of(m)[0].find("of the 2 streamed electrodes takes 165 bytes, but a notification on this link "
                                   "(MTU 26) carries at most 23 bytes"),
            std::string::npos);
  EXPECT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK);
  cy_eeg_manager_disconnect(m);

  // At the edges: exactly one sample fits, one byte short of a full packet,
  // exactly a full packet.
  for (const auto& [name, warned] : {std::pair{"CY MTU 27", true}, {"CY MTU 320", true}, {"CY MTU 321", false}}) {
    SCOPED_TRACE(name);
    cy_eeg_manager* edge = connect_all_channels(name);
    EXPECT_EQ(cy_eeg_manager_start_stream(edge, nullptr, nullptr), CY_OK);
    EXPECT_EQ(warnings_of(edge).size(), warned ? 1u : 0u);
    EXPECT_EQ(cy_eeg_manager_stop_stream(edge, nullptr, nullptr), CY_OK);
    cy_eeg_manager_disconnect(edge);
  }
  // Impedance mode stores every sample whole.
  cy_eeg_manager* impedance = connect_all_channels("CY MTU 321");
  cy_eeg_manager_set_impedance_mode(impedance, 1);
  EXPECT_EQ(cy_eeg_manager_start_stream(impedance, nullptr, nullptr), CY_OK);
  ASSERT_EQ(warnings_of(impedance).size(), 1u);
  EXPECT_NE(warnings_of(impedance)[0].find("in impedance mode takes 612 bytes"), std::string::npos);
}

}  // namespace
}  // namespace calyra::core
