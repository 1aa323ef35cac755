// The stream's main-thread pieces: option parsing, filtering for output,
// quality reasons, gap accounting, standard-input lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include <cmath>
#include <numbers>
#include <random>

#include "cli/command_line.h"
#include "cli/electrode_list.h"
#include "quality/quality_monitor.h"
#include "filtering/signal_filters.h"
#include "stream/line_reader.h"
#include "stream/recording_pipeline.h"
#include "stream/stall_watch.h"

using namespace calyra;

namespace {

cli::parsed_command_line parse(std::vector<std::string> args) {
  CLI::App app;
  cli::parsed_command_line cmd;
  cli::define_command_line(app, cmd);
  std::reverse(args.begin(), args.end());  // CLI11 takes the arguments last to first
  app.parse(args);
  cli::finish_command_line(app, cmd);
  return cmd;
}

std::vector<double> sine(double hz, double amplitude, std::size_t n, double rate) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    v[i] = amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / rate);
  }
  return v;
}

}  // namespace

TEST(electrode_list, ranges_lists_and_rejections) {
  EXPECT_EQ(cli::parse_electrode_list("1,3-5, 2"), (std::vector<unsigned>{1, 2, 3, 4, 5}));
  EXPECT_EQ(cli::parse_electrode_list("4-4,4"), (std::vector<unsigned>{4}));
  for (const char* bad : {"", "0", "1,,2", "a", "3-1", "1-", "256", "2.5", "-3"}) {
    EXPECT_THROW(cli::parse_electrode_list(bad), std::invalid_argument) << bad;
  }
}

TEST(command_line, stream_options_and_their_checks) {
  const auto cmd = parse({"--virtual", "stream", "CY KESTREL 5", "--seconds", "0", "--rate", "500",
                          "--channels", "1-2", "--bandpass", "1:40", "--notch", "50",
                          "--filter-output", "--out", "x.BDF"});
  EXPECT_EQ(cmd.which, cli::command::stream);
  EXPECT_TRUE(cmd.global.use_virtual);
  EXPECT_EQ(cmd.stream.device, "CY KESTREL 5");
  EXPECT_EQ(cmd.stream.seconds, 0.0);
  EXPECT_EQ(cmd.stream.rate_hz, 500U);
  EXPECT_EQ(cmd.stream.electrodes, (std::vector<unsigned>{1, 2}));
  ASSERT_TRUE(cmd.stream.bandpass);
  EXPECT_EQ(cmd.stream.bandpass->high_hz, 40.0);

  // Global options may follow the subcommand.
  EXPECT_TRUE(parse({"info", "CY X 1", "--virtual", "--log", "l.txt"}).global.use_virtual);

  const std::vector<std::vector<std::string>> rejected = {
      {"stream", "CY X 1", "--rate", "300"},
      {"stream", "CY X 1", "--gain", "3"},
      {"stream", "CY X 1", "--out", "x.edf"},
      {"stream", "CY X 1", "--bandpass", "40:1"},
      {"stream", "CY X 1", "--bandpass", "1-40"},
      {"stream", "CY X 1", "--bandpass", "1:125"},     // reaches the Nyquist frequency at 250 Hz
      {"stream", "CY X 1", "--notch", "124"},
      {"stream", "CY X 1", "--filter-output", "--out", "x.csv"},  // nothing to filter with
      {"stream", "CY X 1", "--notch", "50", "--filter-output"},  // nothing to write
      // Poles too close to 1 for a causal filter in double precision.
      {"stream", "CY X 1", "--bandpass", "0.0000001:40", "--filter-output", "--out", "x.bdf"},
      {"stream", "CY X 1", "--seconds", "-1"},
      {"charging", "CY X 1", "--flag", "2"},
      {"charging", "CY X 1", "--timeout", "0"},
      {"update", "CY X 1"},
      {"stream"},
      {},
  };
  for (const auto& args : rejected) {
    EXPECT_THROW(parse(args), CLI::ParseError) << (args.empty() ? "" : args.back());
  }
}

TEST(command_line, stream_length_and_chunk_size_name_the_option_and_the_range) {
  EXPECT_EQ(parse({"stream", "X", "--seconds", "2.5"}).stream.seconds, 2.5);
  EXPECT_EQ(parse({"stream", "X", "--seconds", "0"}).stream.seconds, 0.0);
  EXPECT_EQ(parse({"stream", "X", "--chunk-size", "500", "--rate", "500"}).stream.chunk_size, 500U);
  // Each rejected value and a piece of the message it must give.
  const std::vector<std::pair<std::vector<std::string>, std::string>> rejected = {
      {{"--seconds", "nan"}, "not a finite number"},
      {{"--seconds", "inf"}, "not a finite number"},
      {{"--seconds", "-inf"}, "not a finite number"},
      {{"--seconds", "1x"}, "expected a number of seconds, got '1x'"},
      {{"--seconds", ""}, "expected a number of seconds"},
      {{"--seconds", "604801"}, "0.01 to 604800"},
      {{"--seconds", "0.001"}, "0.01 to 604800"},
      {{"--chunk-size", "100000"}, "1 to 250 samples"},
      {{"--chunk-size", "0"}, "1 to 250 samples"},
      {{"--chunk-size", "251"}, "1 to 250 samples"},
  };
  for (const auto& [extra, message] : rejected) {
    std::vector<std::string> args = {"stream", "X"};
    args.insert(args.end(), extra.begin(), extra.end());
    try {
      parse(args);
      ADD_FAILURE() << extra[0] << " " << extra[1] << " accepted";
    } catch (const CLI::ParseError& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find(extra[0]), std::string::npos) << what;
      EXPECT_NE(what.find(message), std::string::npos) << what;
    }
  }
}

TEST(output_filter, is_causal_whatever_the_blocks_and_holds_over_lost_samples) {
  const unsigned rate = 250;
  const std::size_t n = 10 * rate + 37;
  filtering::filter_settings settings;
  settings.bandpass = cli::band{5.0, 30.0};
  settings.notch_hz = 50.0;

  // Electrode: 10 Hz in band + 50 Hz hum + an offset; column 1 passes
  // through. Rows 1000-1024 are fillers for lost samples (zeros).
  std::vector<double> signal = sine(10.0, 20.0, n, rate);
  const std::vector<double> hum = sine(50.0, 30.0, n, rate);
  recording::sample_block input;
  input.reset(2);
  for (std::size_t i = 0; i < n; ++i) {
    const bool lost = i >= 1000 && i < 1025;
    input.sample_numbers.push_back(i);
    input.streaming.push_back(lost ? 0 : 1);
    input.signals[0].push_back(lost ? 0.0 : signal[i] + hum[i] + 1000.0);
    input.signals[1].push_back(static_cast<double>(i));
  }

  const auto filter_in_blocks = [&](std::size_t block_size) {
    filtering::output_filter filter(settings, rate, {0});
    recording::sample_block output;
    output.reset(2);
    for (std::size_t first = 0; first < n; first += block_size) {
      recording::sample_block chunk;
      chunk.reset(2);
      chunk.append(input, first, std::min(block_size, n - first));
      const auto ready = filter.push(chunk);
      EXPECT_EQ(ready.size(), chunk.size());  // nothing is held back
      output.append(ready, 0, ready.size());
    }
    return output;
  };
  const recording::sample_block output = filter_in_blocks(25);
  EXPECT_EQ(filter_in_blocks(n).signals[0], output.signals[0]);
  EXPECT_EQ(filter_in_blocks(7).signals[0], output.signals[0]);

  ASSERT_EQ(output.size(), n);
  EXPECT_EQ(output.sample_numbers, input.sample_numbers);
  EXPECT_EQ(output.signals[1], input.signals[1]);
  EXPECT_EQ(output.signals[0][1010], 0.0);  // fillers stay as they were

  // The offset starts without ringing, the hum is gone and the 10 Hz keeps
  // its amplitude; the lost samples do not shake the filter (fed the zeros,
  // it would ring by hundreds of microvolts from the 1 mV step).
  double peak = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i < 1000 || i >= 1025) peak = std::max(peak, std::abs(output.signals[0][i]));
  }
  EXPECT_LT(peak, 60.0);
  double late = 0.0;
  for (std::size_t i = n - rate; i < n; ++i) late = std::max(late, std::abs(output.signals[0][i]));
  EXPECT_NEAR(late, 20.0, 2.0);
}

TEST(output_filter, prefilter_field_names_the_causal_filters) {
  filtering::filter_settings settings;
  EXPECT_EQ(filtering::describe_output_filter(settings), "");
  settings.bandpass = cli::band{0.5, 45.0};
  settings.notch_hz = 60.0;
  const std::string both = filtering::describe_output_filter(settings);
  EXPECT_EQ(both, "HP:0.5Hz LP:45Hz N:60Hz (causal Butterworth, order 4 each; notch 58-62Hz)");
  EXPECT_LE(both.size(), 80U);
  settings.notch_hz = 0.0;
  EXPECT_EQ(filtering::describe_output_filter(settings), "HP:0.5Hz LP:45Hz (causal Butterworth, order 4)");
}

TEST(quality, reasons_agree_with_the_grades) {
  const double rate = 250.0;
  const std::size_t n = 500;
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 4.0);
  std::uniform_real_distribution<double> wide(-120.0, 120.0);  // MAD about 60, range below 500
  const std::vector<double> alpha = sine(10.0, 20.0, n, rate);
  const std::vector<double> mains = sine(50.0, 60.0, n, rate);

  std::vector<double> block(5 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const double base = alpha[i] + noise(rng);
    block[i] = base;                                      // good
    block[n + i] = base + mains[i];                       // mains
    block[2 * n + i] = 0.001 * noise(rng);                // flat
    block[3 * n + i] = base + (i < n / 2 ? 0.0 : 800.0);  // step: range too large
    block[4 * n + i] = wide(rng);                         // too noisy
  }
  const auto q = quality::grade_window(block.data(), 5, n, rate);
  ASSERT_EQ(q.size(), 5U);
  EXPECT_EQ(q[0].grade, 2);
  EXPECT_EQ(q[0].reason, "");
  EXPECT_EQ(q[1].grade, 1);
  EXPECT_EQ(q[1].reason, "mains 50 Hz");
  EXPECT_EQ(q[2].grade, 0);
  EXPECT_EQ(q[2].reason, "flat");
  EXPECT_EQ(q[3].grade, 0);
  EXPECT_EQ(q[3].reason, "range too large");
  EXPECT_EQ(q[4].grade, 0);
  EXPECT_EQ(q[4].reason, "too noisy");
}

// Half a second of signal cannot show mains hum: no grade rather than "good".
TEST(quality, windows_under_a_second_are_not_graded) {
  const unsigned rate = 250;
  const std::size_t n = 2 * rate;
  const std::vector<double> alpha = sine(10.0, 20.0, n, rate);
  const std::vector<double> hum = sine(50.0, 8.0, n, rate);
  recording::sample_block all;
  all.reset(1);
  for (std::size_t i = 0; i < n; ++i) {
    all.sample_numbers.push_back(i);
    all.streaming.push_back(1);
    all.signals[0].push_back(alpha[i] + hum[i]);
  }
  quality::quality_monitor monitor({0}, rate, {});
  recording::sample_block half;
  half.reset(1);
  half.append(all, 0, rate / 2);
  monitor.add(half);
  EXPECT_EQ(monitor.evaluate()[0].grade, -1);
  recording::sample_block rest;
  rest.reset(1);
  rest.append(all, rate / 2, n - rate / 2);
  monitor.add(rest);
  const auto& graded = monitor.evaluate();
  EXPECT_EQ(graded[0].grade, 1);
  EXPECT_EQ(graded[0].reason, "mains 50 Hz");
}

TEST(recording_pipeline, cuts_at_the_target_and_counts_lost_packets) {
  stream::pipeline_settings settings;
  settings.rate_hz = 250;
  settings.target_samples = 100;
  const std::vector<recording::signal_description> signals = {
      {recording::signal_kind::electrode, "E1", "uV", -1.0, 1.0}};
  stream::recording_pipeline pipeline(signals, {0}, settings, nullptr);

  // Filler runs at 10..14 and 30..31 (one run spanning two chunks), 150.
  auto chunk = [](std::uint64_t first, std::size_t count) {
    recording::sample_block b;
    b.reset(1);
    for (std::uint64_t s = first; s < first + count; ++s) {
      const bool filler = (s >= 10 && s < 15) || (s >= 30 && s < 32) || s == 150;
      b.sample_numbers.push_back(s);
      b.streaming.push_back(filler ? 0 : 1);
      b.signals[0].push_back(0.0);
    }
    return b;
  };
  pipeline.accept(chunk(0, 31));
  pipeline.accept(chunk(31, 60));
  EXPECT_FALSE(pipeline.target_reached());
  pipeline.accept(chunk(91, 100));
  EXPECT_TRUE(pipeline.target_reached());
  EXPECT_EQ(pipeline.samples(), 100U);
  EXPECT_EQ(pipeline.next_sample_number(), 100U);
  // 5 filler samples are one packet of 5, 2 are part of one more.
  EXPECT_EQ(pipeline.missed_packets(5), 2U);
  EXPECT_EQ(pipeline.lost_samples(), 7U);

  // A gap of seven 50-sample packets is seven missed packets, not one.
  settings.target_samples = 0;
  stream::recording_pipeline kestrel(signals, {0}, settings, nullptr);
  recording::sample_block b;
  b.reset(1);
  for (std::uint64_t s = 0; s < 500; ++s) {
    b.sample_numbers.push_back(s);
    b.streaming.push_back(s >= 100 && s < 450 ? 0 : 1);
    b.signals[0].push_back(0.0);
  }
  kestrel.accept(b);
  EXPECT_EQ(kestrel.missed_packets(50), 7U);
  EXPECT_EQ(kestrel.lost_samples(), 350U);
}

// Only decoded samples count as progress: rows of filler for lost packets
// do not keep a dead stream alive.
TEST(stall_watch, gives_up_when_no_decoded_sample_arrives_for_the_timeout) {
  using namespace std::chrono_literals;
  const std::vector<recording::signal_description> signals = {
      {recording::signal_kind::electrode, "E1", "uV", -1.0, 1.0}};
  stream::recording_pipeline pipeline(signals, {0}, stream::pipeline_settings{}, nullptr);
  auto rows = [&](std::uint64_t first, std::uint8_t streaming) {
    recording::sample_block b;
    b.reset(1);
    for (std::uint64_t s = first; s < first + 250; ++s) {
      b.sample_numbers.push_back(s);
      b.streaming.push_back(streaming);
      b.signals[0].push_back(0.0);
    }
    pipeline.accept(b);
  };
  const auto t0 = stream::stall_watch::clock::now();
  stream::stall_watch watch(2.0, t0);
  stream::stall_watch never(0.0, t0);
  EXPECT_EQ(watch.check(pipeline, 250, t0 + 1900ms), "");
  EXPECT_NE(watch.check(pipeline, 250, t0 + 2s).find("none since the stream started"), std::string::npos);

  rows(0, 1);
  EXPECT_EQ(watch.check(pipeline, 250, t0 + 3s), "");
  rows(250, 0);  // a second of filler only
  EXPECT_EQ(watch.check(pipeline, 250, t0 + 4s), "");
  const std::string stalled = watch.check(pipeline, 250, t0 + 5s);
  EXPECT_NE(stalled.find("no decodable sample for 2 s (the last at 1.0 s of stream; packets were missed)"),
            std::string::npos) << stalled;
  EXPECT_EQ(never.check(pipeline, 250, t0 + 3600s), "");
}

TEST(recording_pipeline, the_summary_tells_bytes_that_are_not_utf8_from_control_characters) {
  stream::pipeline_settings settings;
  settings.rate_hz = 250;
  const std::vector<recording::signal_description> signals = {
      {recording::signal_kind::electrode, "E1", "uV", -1.0, 1.0}};
  stream::recording_pipeline pipeline(signals, {0}, settings, nullptr);
  EXPECT_EQ(pipeline.annotate(0, "tab\there"), "tab here");
  EXPECT_EQ(pipeline.annotate(1, "bell\a"), "bell ");
  EXPECT_EQ(pipeline.annotate(2, "caf\xe9 \xEF\xBF\xBD"), "caf\xEF\xBF\xBD \xEF\xBF\xBD");
  pipeline.annotate(3, "clean \xEF\xBF\xBD");  // a typed U+FFFD is text like any other
  EXPECT_EQ(pipeline.cleaned_annotations(), 3U);
  const std::vector<std::string> remarks = pipeline.remarks();
  EXPECT_NE(std::find(remarks.begin(), remarks.end(), "1 annotation had bytes that are not UTF-8 text, replaced by U+FFFD"),
            remarks.end());
  EXPECT_NE(std::find(remarks.begin(), remarks.end(), "2 annotations had control characters, replaced by spaces"),
            remarks.end());
}

TEST(line_reader, splits_lines_across_reads_and_keeps_the_last_one_at_eof) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  stream::line_reader reader(fds[0]);
  EXPECT_TRUE(reader.read_available(0).empty());
  ASSERT_EQ(write(fds[1], "first\r\nsec", 10), 10);
  EXPECT_EQ(reader.read_available(100), (std::vector<std::string>{"first"}));
  ASSERT_EQ(write(fds[1], "ond\n\nthird", 10), 10);
  EXPECT_EQ(reader.read_available(100), (std::vector<std::string>{"second"}));
  close(fds[1]);
  EXPECT_EQ(reader.read_available(100), (std::vector<std::string>{"third"}));
  EXPECT_TRUE(reader.finished());
  close(fds[0]);
}
