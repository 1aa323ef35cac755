// Putting recordings on the host's clock: rows held until the stream clock
// is known, then timed; lines from standard input stamped as they arrive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "stream/recording_pipeline.h"
#include "stream/timed_lines.h"

using namespace calyra;

namespace {

// Sample n acquired at 5 s + n * 4 ms, once `known`.
struct fake_clock final : stream::sample_clock {
  bool known = false;
  std::optional<std::int64_t> host_time_of(double sample) const override {
    if (!known) return std::nullopt;
    return static_cast<std::int64_t>(5e9 + sample * 4e6);
  }
};

struct captured_writer final : recording::recording_writer {
  recording::sample_block rows;
  std::vector<std::chrono::system_clock::time_point> starts;
  bool closed = false;
  captured_writer() { rows.reset(1); }
  void write(const recording::sample_block& block) override { rows.append(block, 0, block.size()); }
  void set_start_time(std::chrono::system_clock::time_point t) override { starts.push_back(t); }
  void annotate(std::int64_t, const std::string&) override {}
  void close() override { closed = true; }
};

recording::sample_block rows(std::uint64_t first, std::size_t count) {
  recording::sample_block b;
  b.reset(1);
  for (std::uint64_t n = first; n < first + count; ++n) {
    b.sample_numbers.push_back(n);
    b.streaming.push_back(1);
    b.signals[0].push_back(0.0);
  }
  return b;
}

struct timed_pipeline {
  fake_clock clock;
  captured_writer* writer = nullptr;
  std::unique_ptr<stream::recording_pipeline> pipeline;
  int settled = 0;

  timed_pipeline() {
    stream::pipeline_settings settings;
    settings.rate_hz = 250;
    auto owned = std::make_unique<captured_writer>();
    writer = owned.get();
    pipeline = std::make_unique<stream::recording_pipeline>(
        std::vector<recording::signal_description>{{recording::signal_kind::electrode, "E1", "uV", -1.0, 1.0}},
        std::vector<std::size_t>{0}, settings, std::move(owned));
    pipeline->set_clock(&clock);
    pipeline->on_start_settled([this] { ++settled; });
  }
};

}  // namespace

TEST(recording_pipeline, holds_rows_until_the_clock_is_known_and_then_times_every_one) {
  timed_pipeline p;
  p.pipeline->accept(rows(100, 200));
  EXPECT_EQ(p.writer->rows.size(), 0U);  // the start is not known yet
  p.clock.known = true;
  p.pipeline->accept(rows(300, 50));
  p.pipeline->accept(rows(350, 10));
  ASSERT_EQ(p.writer->rows.size(), 260U);
  ASSERT_EQ(p.writer->rows.host_times.size(), 260U);
  for (std::size_t i = 0; i < 260; ++i) {
    ASSERT_EQ(p.writer->rows.host_times[i], static_cast<std::int64_t>(5e9 + (100.0 + i) * 4e6)) << i;
  }
  // The file starts when its first sample was acquired, in wall-clock time.
  ASSERT_EQ(p.writer->starts.size(), 1U);
  EXPECT_EQ(p.settled, 1);
  EXPECT_EQ(p.pipeline->first_sample_time(), p.writer->starts[0]);
  const auto expected = stream::wall_time_of(static_cast<std::int64_t>(5e9 + 100 * 4e6));
  EXPECT_NEAR(std::chrono::duration<double>(p.writer->starts[0] - expected).count(), 0.0, 1e-3);
}

TEST(recording_pipeline, without_the_clock_rows_wait_at_most_a_few_seconds_and_the_end_writes_them) {
  timed_pipeline late;
  const std::size_t limit = stream::recording_pipeline::max_held_seconds * 250;
  late.pipeline->accept(rows(0, limit - 1));
  EXPECT_EQ(late.writer->rows.size(), 0U);
  late.pipeline->accept(rows(limit - 1, 1));
  EXPECT_EQ(late.writer->rows.size(), limit);
  EXPECT_TRUE(late.writer->rows.host_times.empty());
  EXPECT_TRUE(late.writer->starts.empty());  // the layout's start stands
  EXPECT_FALSE(late.pipeline->first_sample_time());
  EXPECT_EQ(late.settled, 1);
  // Known later: the rows from then on get their times.
  late.clock.known = true;
  late.pipeline->accept(rows(limit, 5));
  ASSERT_EQ(late.writer->rows.host_times.size(), limit + 5);
  EXPECT_EQ(late.writer->rows.host_times[limit - 1], recording::unknown_host_time);
  EXPECT_EQ(late.writer->rows.host_times[limit], static_cast<std::int64_t>(5e9 + limit * 4e6));

  // A stream shorter than the clock needs: the end writes what is held.
  timed_pipeline short_run;
  short_run.pipeline->accept(rows(0, 40));
  short_run.pipeline->finish();
  EXPECT_EQ(short_run.writer->rows.size(), 40U);
  EXPECT_TRUE(short_run.writer->closed);
}

// A line is stamped when it is read, not when the stream loop takes it; and
// the reader stops at once though its input stays open.
TEST(timed_lines, stamps_each_line_when_it_arrives) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const auto read_one_line = [&] {
    stream::timed_lines input(fds[0]);
    const std::int64_t written = stream::monotonic_now_ns();
    ASSERT_EQ(write(fds[1], "mark\n", 5), 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the stream loop is busy
    const std::vector<stream::timed_line> lines = input.take();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].text, "mark");
    EXPECT_GE(lines[0].arrival_ns, written);
    EXPECT_LT(lines[0].arrival_ns - written, 50'000'000);  // well before it was taken
    EXPECT_TRUE(input.take().empty());
  };
  const auto start = std::chrono::steady_clock::now();
  read_one_line();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  close(fds[1]);
  close(fds[0]);
}
