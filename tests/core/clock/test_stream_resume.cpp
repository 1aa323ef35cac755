// Where a stream started again after a link loss continues: the gap in host
// time between the two clocks, in samples at the rate before, never on or
// before the last sample, and the refusals of what cannot be placed.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "cycore.h"

namespace {

constexpr std::int64_t second = 1'000'000'000;

TEST(stream_resume, the_gap_in_host_time_becomes_the_filled_samples) {
  cy_stream_resume r{};
  // Last sample 999 at t = 10 s; the new stream's sample 0 at 12.5 s, 250 Hz:
  // 625 sample periods later, so 624 samples between.
  ASSERT_EQ(cy_stream_resume_position(999, 10 * second, 12 * second + second / 2, 250.0, &r), CY_OK);
  EXPECT_EQ(r.first_sample, 999 + 625);
  EXPECT_EQ(r.filled, 624u);
  EXPECT_DOUBLE_EQ(r.gap_s, 2.5);
  // The measured rate counts, not the nominal one, and the nearest sample wins.
  ASSERT_EQ(cy_stream_resume_position(0, 0, 2 * second + 1'000'000, 250.05, &r), CY_OK);
  EXPECT_EQ(r.first_sample, 500);  // 500.35 periods
  // Clocks that disagree by more than the gap, or a gap under half a sample:
  // the new stream follows right after.
  ASSERT_EQ(cy_stream_resume_position(41, 5 * second, 4 * second, 250.0, &r), CY_OK);
  EXPECT_EQ(r.first_sample, 42);
  EXPECT_EQ(r.filled, 0u);
  ASSERT_EQ(cy_stream_resume_position(41, 5 * second, 5 * second + 1'000'000, 250.0, &r), CY_OK);
  EXPECT_EQ(r.first_sample, 42);
  // Host times far apart do not overflow.
  ASSERT_EQ(cy_stream_resume_position(0, INT64_MIN, INT64_MAX, 1e-6, &r), CY_OK);
  EXPECT_GT(r.first_sample, 0);
}

TEST(stream_resume, what_cannot_be_placed_is_refused) {
  cy_stream_resume r{};
  EXPECT_EQ(cy_stream_resume_position(0, 0, second, 250.0, nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_stream_resume_position(0, 0, second, 0.0, &r), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_stream_resume_position(0, 0, second, -250.0, &r), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_stream_resume_position(0, 0, second, std::numeric_limits<double>::infinity(), &r), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_stream_resume_position(-1, 0, second, 250.0, &r), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_stream_resume_position(0, INT64_MIN, INT64_MAX, 1e9, &r), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_stream_resume_position(INT64_MAX - 10, 0, second, 250.0, &r), CY_PRECONDITION_FAILED);
}

}  // namespace
