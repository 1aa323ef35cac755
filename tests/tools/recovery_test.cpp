// A recording that never reaches its end: readable while it grows, and
// recovered into a finished one; and the header texts that must not be
// garbled or cut unseen.
#include <gtest/gtest.h>

#include <fstream>

#include "bdf_reader.h"
#include "recording/bdf_writer.h"
#include "recording/csv_writer.h"
#include "recording/events.h"
#include "recording/header_text.h"
#include "recording/output_file.h"
#include "recording/recording_writer.h"
#include "recording/recovery.h"
#include "recording_fixture.h"

using namespace calyra::test;

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// What a run leaves when it is killed: the writer's file as it is on disk
// (the writer never closed), with its sidecars.
struct leftover {
  std::string part;
  std::int64_t samples_on_disk = 0;
};

leftover killed_bdf_run(const temp_dir& dir) {
  const std::string final_name = dir.file("k.bdf");
  leftover l{final_name + ".part"};
  recording_layout layout = test_layout();
  layout.file_name = final_name;
  events_log events(events_path_for(final_name) + ".part", 250, "k_events.tsv");
  std::ofstream(json_path_for(final_name) + ".part") << "{\n  \"program\": \"calyra\",\n  \"sample_rate_hz\": 250,\n"
                                                        "  \"state\": \"recording\",\n  \"samples\": 0,\n}\n";
  bdf_writer writer(l.part, layout);
  writer.annotate(1100, "early");
  events.append({100, -1, "early"});
  // 2 s reach the file in two writes of ten records (more than real time).
  writer.write(make_rows(1000, 500, 1200, 1230));
  events.append({200, 30, bdf_writer::gap_text});
  writer.annotate(1700, "after the written part");
  events.append({700, -1, "after the written part"});
  writer.write(make_rows(1500, 60));  // held in memory, as in the last moments of a run
  l.samples_on_disk = static_cast<std::int64_t>(read_bdf(l.part).signals[0].samples.size());
  std::filesystem::copy_file(l.part, l.part + ".copy");
  std::filesystem::rename(l.part + ".copy", l.part);  // the writer's state stays behind, unclosed
  return l;
}

}  // namespace

// The file of a run that is killed opens at any moment, up to its last
// written record, with the annotations of those records.
TEST(crash_safety, the_bdf_file_is_readable_while_it_grows) {
  temp_dir dir;
  const leftover l = killed_bdf_run(dir);
  EXPECT_EQ(l.samples_on_disk, 500);
  const bdf_contents c = read_bdf(l.part);
  ASSERT_EQ(c.annotations.size(), 2U);
  EXPECT_EQ(c.annotations[0].text, "early");
  EXPECT_DOUBLE_EQ(c.annotations[0].onset_seconds, 0.4);
  EXPECT_EQ(c.annotations[1].text, bdf_writer::gap_text);
  EXPECT_DOUBLE_EQ(c.annotations[1].duration_seconds, 0.12);
}

// A kill in the middle of a record write leaves a torn record and a stale
// count; recover cuts it, completes the sidecars and names all three.
TEST(crash_safety, recover_cuts_a_torn_record_and_completes_the_sidecars) {
  temp_dir dir;
  const leftover l = killed_bdf_run(dir);
  std::ofstream(l.part, std::ios::app | std::ios::binary) << std::string(700, '\x7f');
  // A half-written events line is not an event.
  std::ofstream(dir.file("k_events.tsv.part"), std::ios::app) << "3.0\tn/a\t75";

  const recovered_recording r = recover_recording(l.part);
  EXPECT_EQ(r.samples, 500U);
  EXPECT_DOUBLE_EQ(r.seconds, 2.0);
  EXPECT_EQ(r.cut_bytes, 700);
  EXPECT_FALSE(fs::exists(l.part));
  EXPECT_EQ(read_bdf(dir.file("k.bdf")).signals[0].samples.size(), 500U);
  // Events beyond the kept data are dropped, the rest kept in onset order.
  EXPECT_EQ(read_all(dir.file("k_events.tsv")),
            std::string(events_header) + events_line({100, -1, "early", {}}, 250) +
                events_line({200, 30, bdf_writer::gap_text, {}}, 250));
  const std::string json = read_all(dir.file("k.json"));
  EXPECT_NE(json.find("\"state\": \"recovered\","), std::string::npos) << json;
  EXPECT_NE(json.find("\"samples\": 500,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"program\": \"calyra\""), std::string::npos) << json;

  // A second leftover of the same name never replaces the recovered file.
  std::ofstream(l.part) << "x";
  EXPECT_THROW(recover_recording(l.part), recording_error);
  EXPECT_EQ(read_bdf(dir.file("k.bdf")).signals[0].samples.size(), 500U);
}

TEST(crash_safety, recover_keeps_the_whole_rows_of_a_csv_file) {
  temp_dir dir;
  const std::string part = dir.file("c.csv.part");
  std::ofstream(part) << "sample,time,E1\n1,0,3.5\n2,0.004,3.25\n3,0.0";
  const recovered_recording r = recover_recording(part);
  EXPECT_EQ(r.samples, 2U);
  EXPECT_EQ(read_all(dir.file("c.csv")), "sample,time,E1\n1,0,3.5\n2,0.004,3.25\n");
  EXPECT_TRUE(fs::exists(dir.file("c_events.tsv")));
  EXPECT_NE(read_all(dir.file("c.json")).find("\"state\": \"recovered\""), std::string::npos);
}

TEST(header_text, non_ascii_is_transliterated_and_said) {
  bool changed = false;
  EXPECT_EQ(ascii_rendering("Jos\xC3\xA9 M\xC3\xBCller", changed), "Jose Muller");
  EXPECT_TRUE(changed);
  EXPECT_EQ(ascii_rendering("Stra\xC3\x9F" "e \xC5\x81\xC3\xB3" "d\xC5\xBA", changed), "Strasse Lodz");
  EXPECT_EQ(ascii_rendering("\xE6\x97\xA5\xE6\x9C\xAC \xFF", changed), "__ _");  // no plain form, invalid byte
  EXPECT_EQ(ascii_rendering("plain", changed), "plain");
  EXPECT_FALSE(changed);
}

// The recording field keeps the date, the device and firmware, the session
// and the note, in that order of importance; every cut is reported.
TEST(header_text, the_recording_field_keeps_what_matters_most) {
  const std::tm start{0, 0, 12, 8, 11, 126, 0, 0, 0, 0, nullptr};
  const std::string device = "Calyra KESTREL fw 3.6.1";
  const auto fields = [&](const std::string& session, const std::string& note) {
    return bdf_identity_fields({"Jos\xC3\xA9", session, note, device}, start, "r.json");
  };
  const bdf_identity plain = fields("s1", "eyes closed");
  EXPECT_EQ(plain.recording, "Startdate 08-DEC-2026 s1 X Calyra_KESTREL_fw_3.6.1 eyes_closed");
  EXPECT_EQ(plain.patient, "Jose X X X");
  ASSERT_EQ(plain.remarks.size(), 1U);
  EXPECT_NE(plain.remarks[0].find("subject is \"Jose\""), std::string::npos) << plain.remarks[0];

  const bdf_identity crowded = fields(std::string(20, 's'), std::string(30, 'n'));
  EXPECT_EQ(crowded.recording.size(), 80U);
  EXPECT_NE(crowded.recording.find(" " + std::string(20, 's') + " X Calyra_KESTREL_fw_3.6.1 nnn"),
            std::string::npos) << crowded.recording;
  EXPECT_NE(crowded.remarks.back().find("note was shortened"), std::string::npos);

  const bdf_identity full = fields(std::string(70, 's'), "note");
  EXPECT_EQ(full.recording.size(), 80U);
  EXPECT_NE(full.recording.find(" X Calyra_KESTREL_fw_3.6.1"), std::string::npos) << full.recording;
  ASSERT_EQ(full.remarks.size(), 3U);
  EXPECT_NE(full.remarks[1].find("session was shortened"), std::string::npos);
  EXPECT_NE(full.remarks[2].find("note did not fit"), std::string::npos);
}
