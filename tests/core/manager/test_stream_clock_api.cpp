// The stream clock through the manager's C API: fed by the notification
// handler with each packet's arrival time, restarted by a stream start,
// placing annotations at host times in the same table as annotate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "cycore.h"
#include "decoder_harness.h"

namespace calyra::core {
namespace {

constexpr std::int64_t t0_ns = 5'000'000'000'000;
// A headset 100 ppm fast at 250 Hz, every packet arriving the moment its
// last sample is acquired.
constexpr double ns_per_sample = 4e6 / (1.0 + 100e-6);

class StreamClockApi : public ::testing::Test {
 protected:
  StreamClockApi() : harness(3) {  // PLOVER: 10 samples per packet
    harness.enable_all();
    harness.start();
  }
  cy_eeg_manager* handle() { return harness.handle(); }
  // Packets 0 .. count-1 of the stream, through the notification handler.
  void stream_packets(std::uint32_t from, std::uint32_t count) {
    const auto encoder = harness.encoder();
    for (std::uint32_t k = from; k < from + count; ++k) {
      const std::uint32_t last = k * 10 + 9;
      const auto arrival = t0_ns + static_cast<std::int64_t>(std::llround(last * ns_per_sample));
      harness.manager.handle_stream_notification(testing::walk_packet(encoder, last, k, nullptr), arrival);
    }
  }
  std::int64_t true_time(double sample) { return t0_ns + std::llround(sample * ns_per_sample); }

  testing::decoder_harness harness;
};

TEST_F(StreamClockApi, NothingIsKnownBeforeOneSecondOfStream) {
  double sample = 0.0;
  std::int64_t t = 0;
  cy_clock_info info{};
  info.state = 9;
  EXPECT_EQ(cy_eeg_manager_sample_at(handle(), t0_ns, &sample), CY_NOT_STREAMING);
  EXPECT_EQ(cy_eeg_manager_get_clock_info(handle(), &info), CY_OK);
  EXPECT_EQ(info.state, CY_CLOCK_UNKNOWN);
  stream_packets(0, 20);  // 0.8 s
  EXPECT_EQ(cy_eeg_manager_time_of_sample(handle(), 100.0, &t), CY_NOT_STREAMING);
  stream_packets(20, 10);
  EXPECT_EQ(cy_eeg_manager_time_of_sample(handle(), 100.0, &t), CY_OK);
}

TEST_F(StreamClockApi, MapsBothWaysAndReportsTheDrift) {
  stream_packets(0, 100);
  std::int64_t t = 0;
  ASSERT_EQ(cy_eeg_manager_time_of_sample(handle(), 2000.5, &t), CY_OK);
  EXPECT_NEAR(static_cast<double>(t - true_time(2000.5)), 0.0, 1000.0);  // within 1 us
  double sample = 0.0;
  ASSERT_EQ(cy_eeg_manager_sample_at(handle(), true_time(5000.25), &sample), CY_OK);
  EXPECT_NEAR(sample, 5000.25, 1e-3);

  cy_clock_info info{};
  ASSERT_EQ(cy_eeg_manager_get_clock_info(handle(), &info), CY_OK);
  EXPECT_EQ(info.state, CY_CLOCK_SETTLING);
  EXPECT_NEAR(info.drift_ppm, 100.0, 0.5);
  EXPECT_NEAR(info.rate_hz, 250.025, 1e-3);
  EXPECT_EQ(info.nominal_rate_hz, 250.0);
  // Fits follow each 0.1 s of stream: the newest packets join the next one.
  EXPECT_GE(info.packets_fitted, 97u);
  EXPECT_LE(info.packets_fitted, 100u);
  EXPECT_NEAR(info.span_s, 3.9, 0.1);
  EXPECT_LT(info.jitter_ms, 0.1);
}

// On a clean stream the published times are the line's; asked again they
// are the same, and what cannot be answered is refused without writing.
TEST_F(StreamClockApi, PublishedTimesOfConsecutiveSamples) {
  std::int64_t times[4] = {7, 7, 7, 7};
  EXPECT_EQ(cy_eeg_manager_published_times(handle(), 0, 4, times), CY_NOT_STREAMING);
  EXPECT_EQ(times[0], 7);
  stream_packets(0, 100);
  EXPECT_EQ(cy_eeg_manager_published_times(handle(), 0, 0, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_published_times(handle(), 0, 4, nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_eeg_manager_published_times(handle(), std::numeric_limits<std::int64_t>::max() - 1, 4, times),
            CY_PRECONDITION_FAILED);
  ASSERT_EQ(cy_eeg_manager_published_times(handle(), 996, 4, times), CY_OK);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(static_cast<double>(times[i] - true_time(996 + i)), 0.0, 1000.0) << i;
  std::int64_t again[4] = {};
  stream_packets(100, 20);
  ASSERT_EQ(cy_eeg_manager_published_times(handle(), 996, 4, again), CY_OK);
  EXPECT_TRUE(std::equal(times, times + 4, again));
}

TEST_F(StreamClockApi, AnnotateAtTakesTheNearestSampleInTheSameTable) {
  EXPECT_EQ(cy_eeg_manager_annotate_at(handle(), "early", t0_ns), CY_CONNECTION_ERROR);
  manager_test_access::set_connected(harness.manager, true);
  EXPECT_EQ(cy_eeg_manager_annotate_at(handle(), "early", t0_ns), CY_NOT_STREAMING);
  stream_packets(0, 60);
  EXPECT_EQ(cy_eeg_manager_annotate_at(handle(), nullptr, t0_ns), CY_PRECONDITION_FAILED);
  ASSERT_EQ(cy_eeg_manager_annotate_at(handle(), "down", true_time(1234.4)), CY_OK);
  ASSERT_EQ(cy_eeg_manager_annotate_at(handle(), "up", true_time(1234.6)), CY_OK);
  // A time after the newest packet extrapolates the line.
  ASSERT_EQ(cy_eeg_manager_annotate_at(handle(), "ahead", true_time(9000.0)), CY_OK);

  cy_annotation* records = nullptr;
  std::size_t count = 0;
  cy_eeg_manager_get_annotations(handle(), &records, &count);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(records[0].sample_number, 1234);
  EXPECT_EQ(std::string(records[0].text), "down");
  EXPECT_EQ(records[1].sample_number, 1235);
  EXPECT_EQ(records[2].sample_number, 9000);
}

TEST_F(StreamClockApi, ArgumentsThatCannotBeAnsweredAreRefused) {
  stream_packets(0, 40);
  std::int64_t t = 0;
  EXPECT_EQ(cy_eeg_manager_sample_at(handle(), t0_ns, nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_eeg_manager_time_of_sample(handle(), 1.0, nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_eeg_manager_time_of_sample(handle(), std::nan(""), &t), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_eeg_manager_time_of_sample(handle(), 1e300, &t), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_eeg_manager_get_clock_info(handle(), nullptr), CY_PRECONDITION_FAILED);
  manager_test_access::set_connected(harness.manager, true);
  EXPECT_EQ(cy_eeg_manager_annotate_at(handle(), "far", std::numeric_limits<std::int64_t>::max()),
            CY_OK);  // about 1.2e17 samples: representable
}

TEST_F(StreamClockApi, AStartBeginsANewClockAndAStopKeepsIt) {
  stream_packets(0, 40);
  manager_test_access::set_streaming(harness.manager, false);  // stopped: the clock stays
  double sample = 0.0;
  EXPECT_EQ(cy_eeg_manager_sample_at(handle(), true_time(300.0), &sample), CY_OK);
  harness.start();
  EXPECT_EQ(cy_eeg_manager_sample_at(handle(), true_time(300.0), &sample), CY_NOT_STREAMING);
}

}  // namespace
}  // namespace calyra::core
