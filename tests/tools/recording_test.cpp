// Recordings written by the program's writers and read back independently.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bdf_reader.h"
#include "recording_fixture.h"
#include "recording/bdf_file_check.h"
#include "recording/bdf_writer.h"
#include "recording/csv_writer.h"
#include "recording/events.h"
#include "recording/output_file.h"

namespace fs = std::filesystem;
using namespace calyra::recording;
using namespace calyra::test;

TEST(bdf_writer, samples_gaps_and_annotations_read_back) {
  temp_dir dir;
  const std::string path = dir.file("r.bdf");
  const recording_layout layout = test_layout();
  sample_block all;
  all.reset(4);
  {
    bdf_writer writer(path, layout);
    writer.annotate(5, "before the first chunk");
    // Stream numbering starts at 1000; odd chunk sizes cross record borders.
    std::uint64_t next = 1000;
    for (std::size_t size : {7U, 25U, 101U, 300U, 200U}) {
      const sample_block rows = make_rows(next, size, 1100, 1150);
      writer.write(rows);
      all.append(rows, 0, rows.size());
      next += size;
    }
    writer.annotate(1500, "stimulus");
    writer.annotate(99999, "after the end");
    writer.annotate(1200, "\xC3\xA9v\xC3\xA9nement with a text well beyond forty bytes \xE2\x82\xAC");
    writer.close();
  }
  const auto bdf = calyra::test::read_bdf(path);
  EXPECT_EQ(bdf.file_type, 3);  // BDF+
  EXPECT_NE(bdf.equipment.find("KESTREL"), std::string::npos);
  EXPECT_DOUBLE_EQ(bdf.record_seconds, 0.1);
  ASSERT_EQ(bdf.signals.size(), 4U);
  EXPECT_EQ(bdf.signals[0].label, "EEG E1");
  EXPECT_EQ(bdf.signals[0].unit, "uV");
  EXPECT_EQ(bdf.signals[2].label, "MISC Contact E1");
  EXPECT_EQ(bdf.signals[3].label, "MISC Accel X");

  // 633 rows, padded to whole 25-sample records with the last values.
  for (std::size_t s = 0; s < 4; ++s) {
    ASSERT_EQ(bdf.signals[s].samples.size(), 650U) << s;
    for (std::size_t i = 0; i < all.size(); ++i) {
      ASSERT_NEAR(bdf.signals[s].samples[i], all.signals[s][i], bdf.resolution(s)) << s << "/" << i;
    }
    EXPECT_NEAR(bdf.signals[s].samples.back(), all.signals[s].back(), bdf.resolution(s));
  }

  auto find = [&](const std::string& text) -> const calyra::test::bdf_annotation* {
    for (const auto& a : bdf.annotations) {
      if (a.text == text) return &a;
    }
    return nullptr;
  };
  const auto* before = find("before the first chunk");
  ASSERT_NE(before, nullptr);
  EXPECT_DOUBLE_EQ(before->onset_seconds, 0.0);
  const auto* stimulus = find("stimulus");
  ASSERT_NE(stimulus, nullptr);
  EXPECT_DOUBLE_EQ(stimulus->onset_seconds, 2.0);  // sample 1500 is row 500
  const auto* late = find("after the end");
  ASSERT_NE(late, nullptr);
  EXPECT_DOUBLE_EQ(late->onset_seconds, 632 / 250.0);
  const auto* gap = find(bdf_writer::gap_text);
  ASSERT_NE(gap, nullptr);
  EXPECT_DOUBLE_EQ(gap->onset_seconds, 0.4);
  EXPECT_DOUBLE_EQ(gap->duration_seconds, 0.2);
  const auto* end = find(bdf_writer::end_text);
  ASSERT_NE(end, nullptr);
  EXPECT_DOUBLE_EQ(end->onset_seconds, 633 / 250.0);
  EXPECT_DOUBLE_EQ(end->duration_seconds, 17 / 250.0);
  // The long text is cut at a character boundary within EDFlib's limit.
  bool found_long = false;
  for (const auto& a : bdf.annotations) {
    if (a.text.rfind("\xC3\xA9v\xC3\xA9nement", 0) == 0) {
      found_long = true;
      EXPECT_LE(a.text.size(), bdf_writer::max_annotation_bytes);
      EXPECT_DOUBLE_EQ(a.onset_seconds, 0.8);
    }
  }
  EXPECT_TRUE(found_long);
}

TEST(bdf_writer, whole_records_need_no_padding_and_out_of_range_values_clamp) {
  temp_dir dir;
  const std::string path = dir.file("clamp.bdf");
  {
    bdf_writer writer(path, test_layout());
    sample_block rows = make_rows(0, 50);
    rows.signals[0][3] = 9.0e6;  // beyond the full scale of the gain
    rows.signals[0][4] = -9.0e6;
    rows.signals[1][5] = std::nan("");
    writer.write(rows);
    writer.close();
  }
  const auto bdf = calyra::test::read_bdf(path);
  ASSERT_EQ(bdf.signals[0].samples.size(), 50U);
  EXPECT_NEAR(bdf.signals[0].samples[3], 562500.0, bdf.resolution(0));
  EXPECT_NEAR(bdf.signals[0].samples[4], -562500.0, bdf.resolution(0));
  EXPECT_NEAR(bdf.signals[1].samples[5], 0.0, bdf.resolution(1));
  for (const auto& a : bdf.annotations) EXPECT_NE(a.text, bdf_writer::end_text);
}

TEST(bdf_writer, utf8_prefix_never_splits_a_character) {
  EXPECT_EQ(utf8_prefix("abc", 40), "abc");
  EXPECT_EQ(utf8_prefix("ab\xE2\x82\xAC", 4), "ab");  // the euro sign needs 3 bytes
  EXPECT_EQ(utf8_prefix("ab\xE2\x82\xAC", 5), "ab\xE2\x82\xAC");
  EXPECT_EQ(utf8_prefix("\xC3\xA9\xC3\xA9", 3), "\xC3\xA9");
}

// The start known only once the stream clock is (a second into the
// stream) replaces the one the header was created with: date, time, the
// recording field's start date and the sub-second start of the records.
TEST(bdf_writer, a_start_time_set_before_the_first_record_rewrites_the_header) {
  temp_dir dir;
  const std::string path = dir.file("t.bdf");
  recording_layout layout = test_layout();
  layout.start_time = std::chrono::system_clock::from_time_t(1700000000);
  const std::time_t second = 1800000000;
  {
    bdf_writer writer(path, layout);
    writer.set_start_time(std::chrono::system_clock::from_time_t(second) + std::chrono::microseconds(123456));
    writer.annotate(1010, "mark");
    writer.write(make_rows(1000, 250));
    writer.close();
  }
  const auto bdf = read_bdf(path);
  EXPECT_EQ(bdf.start_second, second);
  EXPECT_EQ(bdf.start_subsecond, 1234000);  // to 100 us
  ASSERT_EQ(bdf.annotations.size(), 1U);
  EXPECT_DOUBLE_EQ(bdf.annotations[0].onset_seconds, 0.04);  // onsets count from the first sample
  std::tm local{};
  localtime_r(&second, &local);
  char date[32];
  std::strftime(date, sizeof date, "Startdate %d-%b-%Y", &local);
  std::string expected = date;
  for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  expected.replace(0, 9, "Startdate");
  std::ifstream in(path, std::ios::binary);
  std::string header(256, '\0');
  in.read(header.data(), 256);
  EXPECT_EQ(header.substr(88, expected.size()), expected);
}

TEST(csv_writer, rows_streaming_column_and_late_annotations) {
  temp_dir dir;
  const std::string path = dir.file("r.csv");
  {
    csv_writer writer(path, test_layout(), /*hold_seconds=*/1.0);
    writer.write(make_rows(10, 300, 20, 23));
    // Stamped after 300 rows arrived, but the row is still held back.
    writer.annotate(100, "blink, \"left\"");
    writer.annotate(100, "second");
    writer.write(make_rows(310, 300));
    writer.annotate(5000, "past the end");
    writer.close();
  }
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  // The column names come first, where CSV readers look for them.
  EXPECT_EQ(line, "sample,time,host_time_s,E1,E2,Contact E1,Accel X,STREAMING,ANNOTATION");
  std::vector<std::string> rows;
  while (std::getline(in, line)) rows.push_back(line);
  ASSERT_EQ(rows.size(), 600U);
  EXPECT_EQ(rows[0].substr(0, 6), "10,0,,");  // untimed rows: no host time
  EXPECT_EQ(rows[599].substr(0, 11), "609,2.396,,");
  // Filler rows 20..22 carry STREAMING 0, the others 1.
  EXPECT_NE(rows[10].find(",0,"), std::string::npos);
  EXPECT_EQ(rows[12].substr(rows[12].size() - 3), ",0,");
  EXPECT_EQ(rows[13].substr(rows[13].size() - 3), ",1,");
  EXPECT_EQ(rows[90].substr(rows[90].rfind(",1,")), ",1,\"blink, \"\"left\"\" | second\"");
  EXPECT_EQ(rows[599].substr(rows[599].rfind(",1,")), ",1,past the end");
  // Values read back exactly (shortest round-trip text).
  const sample_block expected = make_rows(10, 1);
  std::istringstream cells(rows[0]);
  std::string cell;
  for (int column = 0; column < 4; ++column) std::getline(cells, cell, ',');
  EXPECT_EQ(std::stod(cell), expected.signals[0][0]);
}

TEST(output_file, reports_unwritable_paths_and_only_commits_complete_files) {
  EXPECT_THROW(output_file("/nonexistent-dir/x.bdf", false), recording_error);
  temp_dir dir;
  EXPECT_THROW(output_file(dir.file(""), true), recording_error);  // a directory

  const std::string target = dir.file("keep.csv");
  {
    output_file abandoned(target, false);
    EXPECT_TRUE(fs::exists(abandoned.temporary_path()));
  }
  EXPECT_FALSE(fs::exists(target));
  EXPECT_FALSE(fs::exists(target + ".part"));

  output_file kept(target, false);
  std::ofstream(kept.temporary_path()) << "data\n";
  kept.commit();
  EXPECT_TRUE(fs::exists(target));
  EXPECT_FALSE(fs::exists(kept.temporary_path()));
}

TEST(annotation_text, invalid_utf8_and_control_characters_are_replaced_not_dropped) {
  bool changed = true;
  EXPECT_EQ(clean_annotation_text("eyes closed \xE2\x9C\x93", changed), "eyes closed \xE2\x9C\x93");
  EXPECT_FALSE(changed);
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"bad \xff\xfe caf\xe9", "bad " + fffd + fffd + " caf" + fffd},
      {"a\tb\x01" "c", "a b c"},                           // would split a TSV cell or a TAL
      {"\xC0\xAF", fffd + fffd},                           // overlong '/'
      {"\xED\xA0\x80", fffd + fffd + fffd},                // a UTF-16 surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},     // beyond U+10FFFF
      {"\xE2\x9C", fffd + fffd},                           // cut character at the end
      {"ok\x7F", "ok "},
  };
  for (const auto& [raw, clean] : cases) {
    EXPECT_EQ(clean_annotation_text(raw, changed), clean) << raw;
    EXPECT_TRUE(changed) << raw;
  }
}

TEST(bdf_file_check, a_file_cut_short_is_repaired_to_its_complete_records) {
  temp_dir dir;
  const std::string path = dir.file("cut.bdf");
  {
    bdf_writer writer(path, test_layout());
    writer.write(make_rows(0, 250));  // 10 records of 0.1 s
    writer.close();
  }
  auto state = inspect_bdf_file(path);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->records_in_header, 10);
  EXPECT_EQ(state->complete_records, 10);
  EXPECT_EQ(state->file_bytes, state->header_bytes + 10 * state->record_bytes);

  // As after a full disk: the header claims 10 records, 7.5 reached the disk.
  fs::resize_file(path, static_cast<std::uintmax_t>(state->header_bytes + 7 * state->record_bytes + state->record_bytes / 2));
  EXPECT_THROW(calyra::test::read_bdf(path), std::runtime_error);
  state = inspect_bdf_file(path);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->complete_records, 7);
  ASSERT_TRUE(truncate_bdf_file(path, *state, state->complete_records));
  const auto bdf = calyra::test::read_bdf(path);
  ASSERT_EQ(bdf.signals[0].samples.size(), 175U);
  const sample_block expected = make_rows(0, 175);
  EXPECT_NEAR(bdf.signals[0].samples[174], expected.signals[0][174], bdf.resolution(0));

  // Not a BDF header at all.
  std::ofstream(dir.file("junk.bdf")) << "junk";
  EXPECT_FALSE(inspect_bdf_file(dir.file("junk.bdf")));
}
