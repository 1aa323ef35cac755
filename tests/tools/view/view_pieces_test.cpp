// The live view's pieces on their own: who gets in, what an annotation may
// be, the frames and their decoding, display decimation, filter and
// spectrum, and the bounded hand-overs that never hold up the recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "cli/command_line.h"
#include "view/annotation_inbox.h"
#include "view/display_filter.h"
#include "view/display_tap.h"
#include "view/event_hub.h"
#include "view/frame_builder.h"
#include "view/frame_codec.h"
#include "view/request_guard.h"

namespace calyra::view {
namespace {

constexpr double pi = 3.14159265358979323846;

request_facts get(const std::string& host, const std::string& query_token, const std::string& cookie = "") {
  return {"GET", host, "", query_token, cookie};
}

cli::parsed_command_line parse(std::vector<std::string> args) {
  CLI::App app;
  cli::parsed_command_line out;
  cli::define_command_line(app, out);
  std::reverse(args.begin(), args.end());
  app.parse(args);
  cli::finish_command_line(app, out);
  return out;
}

TEST(view_command_line, view_streams_until_stopped_and_the_options_need_the_view) {
  auto v = parse({"view", "CY KESTREL 5"});
  EXPECT_EQ(v.which, cli::command::stream);
  EXPECT_TRUE(v.stream.view.enabled);
  EXPECT_EQ(v.stream.seconds, 0.0);
  EXPECT_EQ(v.stream.view.listen, "127.0.0.1");
  EXPECT_EQ(v.stream.view.port, 0u);
  v = parse({"view", "CY KESTREL 5", "--seconds", "5", "--port", "8080", "--listen", "0.0.0.0", "--open"});
  EXPECT_EQ(v.stream.seconds, 5.0);
  EXPECT_EQ(v.stream.view.port, 8080u);
  EXPECT_EQ(v.stream.view.listen, "0.0.0.0");
  EXPECT_TRUE(v.stream.view.open);
  auto s = parse({"stream", "CY KESTREL 5"});
  EXPECT_FALSE(s.stream.view.enabled);
  EXPECT_EQ(s.stream.seconds, 10.0);
  s = parse({"stream", "CY KESTREL 5", "--view", "--port", "9000"});
  EXPECT_TRUE(s.stream.view.enabled);
  EXPECT_EQ(s.stream.view.port, 9000u);
  EXPECT_THROW(parse({"stream", "CY KESTREL 5", "--listen", "0.0.0.0"}), CLI::ValidationError);
  EXPECT_THROW(parse({"stream", "CY KESTREL 5", "--open"}), CLI::ValidationError);
  EXPECT_THROW(parse({"view", "CY KESTREL 5", "--port", "70000"}), CLI::ValidationError);
  EXPECT_THROW(parse({"view", "CY KESTREL 5", "--view"}), CLI::ParseError);
}

TEST(view_guard, every_request_needs_the_token_in_the_query_or_the_cookie) {
  const std::string token = make_token();
  ASSERT_EQ(token.size(), 32u);
  EXPECT_NE(token, make_token());
  const request_guard guard(token, 8123);
  EXPECT_EQ(guard.check(get("127.0.0.1:8123", "")), verdict::no_token);
  EXPECT_EQ(guard.check(get("127.0.0.1:8123", std::string(32, '0'))), verdict::no_token);
  EXPECT_EQ(guard.check(get("127.0.0.1:8123", token.substr(0, 31))), verdict::no_token);
  EXPECT_EQ(guard.check(get("127.0.0.1:8123", token + "0")), verdict::no_token);
  EXPECT_EQ(guard.check(get("127.0.0.1:8123", token)), verdict::allowed_set_cookie);
  EXPECT_EQ(guard.check(get("127.0.0.1:8123", "", "a=b; calyra_view_8123=" + token + "; c=d")),
            verdict::allowed);
  // The cookie of a view on another port is not ours.
  EXPECT_EQ(guard.check(get("127.0.0.1:8123", "", "calyra_view_8124=" + token)), verdict::no_token);
  EXPECT_EQ(guard.check(get("127.0.0.1:8123", "", "xcalyra_view_8123=" + token)), verdict::no_token);
  EXPECT_NE(guard.set_cookie_value().find("calyra_view_8123=" + token + ";"), std::string::npos);
  EXPECT_NE(guard.set_cookie_value().find("HttpOnly"), std::string::npos);
  EXPECT_NE(guard.set_cookie_value().find("SameSite=Strict"), std::string::npos);
}

TEST(view_guard, only_hosts_no_other_site_can_name_pass) {
  const std::string token = make_token();
  const request_guard guard(token, 8123);
  for (const char* host : {"127.0.0.1:8123", "localhost:8123", "[::1]:8123", "192.168.1.20:8123"}) {
    EXPECT_EQ(guard.check(get(host, token)), verdict::allowed_set_cookie) << host;
  }
  // A page that rebinds its own name to 127.0.0.1 sends that name.
  for (const char* host : {"", "evil.example:8123", "127.0.0.1.evil.example:8123", "127.0.0.1:8124",
                           "127.0.0.1", "localhost", "127.0.0.1:80", "1.2.3.4.5:8123", "[::1]x:8123"}) {
    EXPECT_EQ(guard.check(get(host, token)), verdict::bad_host) << host;
  }
  // Browsers name the page behind a POST: another site's is refused even
  // when the cookie would be sent.
  const std::string cookie = "calyra_view_8123=" + token;
  EXPECT_EQ(guard.check({"POST", "127.0.0.1:8123", "http://evil.example", "", cookie}), verdict::bad_origin);
  EXPECT_EQ(guard.check({"POST", "127.0.0.1:8123", "http://127.0.0.1:8123", "", cookie}), verdict::allowed);
  EXPECT_EQ(guard.check({"POST", "127.0.0.1:8123", "", "", cookie}), verdict::allowed);
}

TEST(view_annotations, the_box_takes_one_line_of_utf8_text) {
  EXPECT_EQ(annotation_problem("eyes closed"), "");
  EXPECT_EQ(annotation_problem("Augen zu \xe2\x80\x93 5 \xc2\xb5V \xf0\x9f\x91\x81"), "");
  EXPECT_NE(annotation_problem(""), "");
  EXPECT_NE(annotation_problem("   "), "");
  EXPECT_NE(annotation_problem("two\nlines"), "");
  EXPECT_NE(annotation_problem(std::string("nul\0byte", 8)), "");
  EXPECT_NE(annotation_problem("latin1 \xe9t\xe9"), "");
  EXPECT_NE(annotation_problem("overlong \xc0\xaf"), "");
  EXPECT_NE(annotation_problem("surrogate \xed\xa0\x80"), "");
  EXPECT_NE(annotation_problem("cut \xe2\x80"), "");
  EXPECT_EQ(annotation_problem(std::string(max_annotation_bytes, 'a')), "");
  EXPECT_NE(annotation_problem(std::string(max_annotation_bytes + 1, 'a')), "");

  annotation_inbox inbox(2);
  EXPECT_TRUE(inbox.post("a"));
  EXPECT_TRUE(inbox.post("b"));
  EXPECT_FALSE(inbox.post("c"));
  std::vector<std::string> lines{"typed"};
  inbox.take(lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"typed", "a", "b"}));
}

TEST(view_frames, encode_and_decode_are_inverse_and_malformed_frames_are_refused) {
  bucket_set b;
  b.first_bucket = 70000;
  b.flags = {0, 1, 0};
  b.raw = {{-1.5f, 2.0f, 3.f, 4.f, -1e6f, 1e6f}, {0.f, 0.f, 7.25f, 8.f, 9.f, 10.f}};
  b.filtered = {{1.f, 2.f, 3.f, 4.f, 5.f, 6.f}, {-1.f, -2.f, -3.f, -4.f, -5.f, -6.f}};
  const std::string bytes = encode_samples(b);
  EXPECT_EQ(bytes.size(), 8u + 3u + 2u * 2u * 3u * 2u * 4u);
  const std::string text = base64_encode(bytes);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  bucket_set back;
  ASSERT_TRUE(decode_samples(base64_decode(text), back));
  EXPECT_EQ(back.first_bucket, b.first_bucket);
  EXPECT_EQ(back.flags, b.flags);
  EXPECT_EQ(back.raw, b.raw);
  EXPECT_EQ(back.filtered, b.filtered);
  EXPECT_FALSE(decode_samples(bytes.substr(0, bytes.size() - 1), back));
  EXPECT_FALSE(decode_samples("abc", back));
  for (const char* s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    EXPECT_EQ(base64_decode(base64_encode(s)), s);
  }
  EXPECT_EQ(json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(sse_event("status", "{}"), "event: status\ndata: {}\n\n");
}

display_rows rows_of(std::uint64_t first, std::size_t n, std::size_t channels,
                     double (*f)(std::size_t ch, std::uint64_t row)) {
  display_rows r;
  r.first_row = first;
  r.streaming.assign(n, 1);
  r.channels.assign(channels, std::vector<double>(n));
  for (std::size_t ch = 0; ch < channels; ++ch) {
    for (std::size_t i = 0; i < n; ++i) r.channels[ch][i] = f(ch, first + i);
  }
  return r;
}

double wobble(std::size_t ch, std::uint64_t row) {
  return 1000.0 * static_cast<double>(ch) + std::sin(static_cast<double>(row) * 0.7) * 40.0;
}

TEST(view_frames, buckets_hold_the_exact_range_of_their_samples_across_chunks_and_gaps) {
  frame_builder builder(2, 500);  // four samples per bucket
  ASSERT_EQ(bucket_samples(500), 4u);
  ASSERT_EQ(bucket_samples(250), 2u);
  display_rows first = rows_of(0, 7, 2, wobble);  // ends inside bucket 1
  first.streaming[5] = 0;
  builder.add(first);
  builder.add(rows_of(7, 5, 2, wobble));
  auto sets = builder.take_buckets();
  ASSERT_EQ(sets.size(), 1u);
  ASSERT_EQ(sets[0].size(), 3u);
  EXPECT_EQ(sets[0].first_bucket, 0u);
  EXPECT_EQ(sets[0].flags, (std::vector<std::uint8_t>{0, 1, 0}));
  for (std::size_t ch = 0; ch < 2; ++ch) {
    for (std::size_t b = 0; b < 3; ++b) {
      double lo = 1e300, hi = -1e300;
      for (std::uint64_t r = 4 * b; r < 4 * b + 4; ++r) {
        lo = std::min(lo, wobble(ch, r));
        hi = std::max(hi, wobble(ch, r));
      }
      EXPECT_FLOAT_EQ(sets[0].raw[ch][2 * b], static_cast<float>(lo));
      EXPECT_FLOAT_EQ(sets[0].raw[ch][2 * b + 1], static_cast<float>(hi));
    }
  }
  // Rows 12..21 were dropped before the display: the buckets restart at
  // the first whole bucket after the gap, in a run of their own.
  builder.add(rows_of(12, 2, 2, wobble));
  builder.add(rows_of(22, 10, 2, wobble));
  sets = builder.take_buckets();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].first_bucket, 6u);  // rows 24..31
  ASSERT_EQ(sets[0].size(), 2u);
  EXPECT_FLOAT_EQ(sets[0].raw[1][0], static_cast<float>(std::min({wobble(1, 24), wobble(1, 25), wobble(1, 26), wobble(1, 27)})));
}

TEST(view_frames, spectrum_shows_a_sinusoid_at_its_frequency_and_amplitude) {
  frame_builder builder(2, 250);
  EXPECT_FALSE(builder.spectrum_due());
  builder.add(rows_of(0, 500, 2, [](std::size_t ch, std::uint64_t r) {
    const double t = static_cast<double>(r) / 250.0;
    return 300.0 + (ch == 0 ? 20.0 * std::sin(2 * pi * 10.0 * t) : 5.0 * std::sin(2 * pi * 50.0 * t));
  }));
  ASSERT_TRUE(builder.spectrum_due());
  float bin_hz = 0;
  const auto s = builder.take_spectrum(bin_hz);
  EXPECT_FALSE(builder.spectrum_due());
  EXPECT_FLOAT_EQ(bin_hz, 0.5f);
  ASSERT_EQ(s.size(), 2u);
  ASSERT_EQ(s[0].size(), 121u);  // 0 .. 60 Hz
  EXPECT_NEAR(s[0][20], 20.0, 0.2);
  EXPECT_NEAR(s[1][100], 5.0, 0.05);
  EXPECT_LT(s[0][0], 0.01);   // the offset is gone
  EXPECT_LT(s[0][60], 0.05);  // far from the line
}

TEST(view_filter, passes_the_eeg_band_and_removes_offset_and_mains) {
  const double rate = 250.0;
  const auto filtered = [&](const std::vector<double>& x) {
    display_filter f(1, rate);
    display_rows rows;
    rows.streaming.assign(x.size(), 1);
    rows.channels = {x};
    std::vector<double> out;
    f.process(rows, out);
    return out;
  };
  const auto gain = [&](double hz) {
    std::vector<double> x(5000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = 5000.0 + 10.0 * std::sin(2 * pi * hz * static_cast<double>(i) / rate);
    const std::vector<double> y = filtered(x);
    double peak = 0;
    for (std::size_t i = 4000; i < y.size(); ++i) peak = std::max(peak, std::abs(y[i]));
    return peak / 10.0;
  };
  EXPECT_NEAR(gain(10.0), 1.0, 0.05);
  EXPECT_NEAR(gain(20.0), 1.0, 0.1);
  EXPECT_LT(gain(50.0), 0.05);
  EXPECT_LT(gain(60.0), 0.05);
  EXPECT_LT(gain(0.05), 0.05);
  // The electrode offset does not ring through the window; a NaN shows as
  // NaN and leaves the filter intact.
  std::vector<double> flat(500, 5000.0);
  flat[300] = NAN;
  const std::vector<double> y = filtered(flat);
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (i == 300) {
      EXPECT_TRUE(std::isnan(y[i]));
    } else {
      ASSERT_LT(std::abs(y[i]), 1e-9) << i;
    }
  }
}

TEST(view_tap, keeps_the_newest_rows_within_its_bound_and_counts_the_rest) {
  display_tap tap(10, 2);
  for (std::uint64_t i = 0; i < 6; ++i) tap.put_rows(rows_of(4 * i, 4, 1, wobble));
  tap.put_annotation({1, "a"});
  tap.put_annotation({2, "b"});
  tap.put_annotation({3, "c"});
  tap.put_status({});
  tap_contents c = tap.take();
  ASSERT_EQ(c.rows.size(), 2u);
  EXPECT_EQ(c.rows.front().first_row, 16u);
  EXPECT_EQ(c.dropped_rows, 16u);
  EXPECT_EQ(c.annotations.size(), 2u);
  EXPECT_TRUE(c.status.has_value());
  c = tap.take();
  EXPECT_TRUE(c.rows.empty());
  EXPECT_EQ(c.dropped_rows, 0u);
  EXPECT_FALSE(c.status.has_value());
}

TEST(view_hub, a_reader_that_falls_behind_skips_events_and_never_holds_up_publishing) {
  event_hub hub(4);
  const std::uint64_t slow = hub.start_cursor();
  for (int i = 0; i < 10; ++i) hub.publish("e" + std::to_string(i) + ";");
  EXPECT_EQ(hub.published(), 10u);
  event_hub::batch b = hub.read(slow, std::chrono::milliseconds(0));
  EXPECT_EQ(b.skipped, 6u);
  EXPECT_EQ(b.text, "e6;e7;e8;e9;");
  // A new reader starts with what the ring still holds.
  EXPECT_EQ(hub.read(hub.start_cursor(), std::chrono::milliseconds(0)).text, "e6;e7;e8;e9;");
  b = hub.read(b.cursor, std::chrono::milliseconds(0));
  EXPECT_EQ(b.text, "");
  EXPECT_FALSE(b.closed);
  // A waiting reader wakes for a new event, and for the close.
  std::thread later([&] { hub.publish("late;"); });
  b = hub.read(b.cursor, std::chrono::seconds(10));
  later.join();
  EXPECT_EQ(b.text, "late;");
  hub.close();
  b = hub.read(b.cursor, std::chrono::seconds(10));
  EXPECT_TRUE(b.closed);
}

}  // namespace
}  // namespace calyra::view
