// The rules the dataset writer enforces before anything is written: BIDS
// labels, the power line frequency, one recording per name, and the dataset
// files that belong to the user once created.
#include <gtest/gtest.h>

#include "bids/dataset_files.h"
#include "bids/dataset_sink.h"
#include "bids_fixture.h"

namespace calyra::test {
namespace {

std::string refusal(const std::function<void()>& action) {
  try {
    action();
  } catch (const bids::bids_error& e) {
    return e.what();
  }
  return "(no refusal)";
}

TEST(bids_names, labels_are_letters_and_digits_and_names_round_trip) {
  for (const char* bad : {"", "01-a", "S_1", "José", "a b", "x."}) {
    bids::entities e{bad, "", "rest", "", ""};
    const std::string why = refusal([&] { bids::check_entities(e); });
    EXPECT_NE(why.find("--subject"), std::string::npos) << bad << ": " << why;
    EXPECT_NE(why.find("letters and digits only"), std::string::npos) << why;
  }
  EXPECT_NE(refusal([] { bids::check_entities({"01", "", "rest", "", "2b"}); }).find("--run"), std::string::npos);
  EXPECT_NE(refusal([] { bids::check_entities({"01", "", "rest", "x-y", ""}); }).find("--acq"), std::string::npos);

  const bids::entities full{"P7", "2", "nback", "left", "03"};
  EXPECT_NO_THROW(bids::check_entities(full));
  EXPECT_EQ(bids::recording_path(full), "sub-P7/ses-2/eeg/sub-P7_ses-2_task-nback_acq-left_run-03_eeg.bdf");
  const auto parsed = bids::parse_recording_name(".sub-P7_ses-2_task-nback_acq-left_run-03_eeg.bdf.part");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(bids::file_stem(*parsed), bids::file_stem(full));
  EXPECT_EQ(bids::recording_path({"1", "", "rest", "", ""}), "sub-1/eeg/sub-1_task-rest_eeg.bdf");
  // Out of order, or another kind of file: not a recording's name.
  EXPECT_FALSE(bids::parse_recording_name("sub-1_run-1_task-rest_eeg.bdf"));
  EXPECT_FALSE(bids::parse_recording_name("sub-1_task-rest_events.tsv"));
}

class bids_rules : public bids_test {};

// Required unless the dataset's recordings already state one (and agree).
TEST_F(bids_rules, the_line_frequency_is_given_or_stated_by_the_dataset) {
  const std::string bdf = file("flat.bdf");
  write_recording_with_a_flat_channel(bdf);
  const std::string root = file("line");
  bids::placement p = placement_of(root, names("01"));
  p.line_frequency_hz.reset();
  EXPECT_NE(refusal([&] { bids::check_placement(p); }).find("--line-freq 50 or --line-freq 60"), std::string::npos);
  p.line_frequency_hz = 55.0;
  EXPECT_NE(refusal([&] { bids::check_placement(p); }).find("50 or 60"), std::string::npos);

  p.line_frequency_hz = 60.0;
  bids::place_recording(p, bids::read_calyra_recording(bdf), bids::transfer::copy);
  p.names.subject = "02";
  p.line_frequency_hz.reset();
  EXPECT_EQ(bids::check_placement(p), 60.0);

  // A recording stating otherwise makes the dataset ambiguous.
  p.line_frequency_hz = 50.0;
  bids::place_recording(p, bids::read_calyra_recording(bdf), bids::transfer::copy);
  p.names.subject = "03";
  p.line_frequency_hz.reset();
  EXPECT_NE(refusal([&] { bids::check_placement(p); }).find("different power line frequencies"), std::string::npos);
}

// Nothing is replaced: a placed recording, or an interrupted run's .part
// under the same name, refuses the placement before anything is written.
TEST_F(bids_rules, a_taken_name_is_refused_with_the_next_free_run) {
  const std::string bdf = file("flat.bdf");
  write_recording_with_a_flat_channel(bdf);
  const std::string root = file("taken");
  place(root, names("01", "rest", "", "1"), bdf);
  place(root, names("01", "rest", "", "2"), bdf);
  const std::string events_before = read_text(root + "/sub-01/eeg/sub-01_task-rest_run-2_events.tsv");

  const std::string why = refusal([&] { place(root, names("01", "rest", "", "2"), bdf); });
  EXPECT_NE(why.find("sub-01_task-rest_run-2"), std::string::npos) << why;
  EXPECT_NE(why.find("--run 3"), std::string::npos) << why;
  EXPECT_EQ(read_text(root + "/sub-01/eeg/sub-01_task-rest_run-2_events.tsv"), events_before);
  // A run is a number: run 02 is run 2.
  EXPECT_NE(refusal([&] { place(root, names("01", "rest", "", "02"), bdf); }).find("--run 3"), std::string::npos);

  // Another task is another recording.
  EXPECT_NO_THROW(place(root, names("01", "other", "", "2"), bdf));

  const bids::placement next = placement_of(root, names("01", "rest", "", "3"));
  std::ofstream(bids::staging_path(next) + ".part") << "unfinished";
  const std::string staged = refusal([&] { bids::check_placement(next); });
  EXPECT_NE(staged.find("calyra recover"), std::string::npos) << staged;
}

// dataset_description.json and README are the user's once written.
TEST_F(bids_rules, dataset_files_written_once_stay_the_users) {
  const std::string root = file("own");
  fs::create_directories(root);
  std::ofstream(root + "/dataset_description.json") << R"({"Name": "mine", "BIDSVersion": "1.9.0"})";
  std::ofstream(root + "/README.md") << "# mine\n";
  bids::prepare_dataset(root, "test");
  EXPECT_EQ(read_text(root + "/dataset_description.json"), R"({"Name": "mine", "BIDSVersion": "1.9.0"})");
  EXPECT_FALSE(fs::exists(root + "/README"));

  const std::string fresh = file("fresh");
  bids::prepare_dataset(fresh, "test");
  EXPECT_NE(read_text(fresh + "/dataset_description.json").find("\"calyra\""), std::string::npos);
  EXPECT_TRUE(fs::exists(fresh + "/README"));
}

// A recording that fails while streaming into a dataset is reported with its
// own reason, and one that never got a sample leaves nothing to place.
TEST(bids_sink, the_recordings_failure_keeps_its_reason) {
  struct failing_recording final : session::sink {
    void rows(const recording::sample_block&) override { throw session::sink_failure("disk full"); }
    void event(const session::placed_event&) override {}
    void finish(const session::run_end&) override {}
    std::string failure_reason() const override { return "the file could not be written"; }
    std::vector<std::string> files() const override { return {"none: no sample arrived"}; }
  };
  bids::dataset_sink sink(std::make_unique<failing_recording>(), "/nonexistent/.sub-1_task-rest_eeg.bdf");
  EXPECT_THROW(sink.rows({}), session::sink_failure);
  EXPECT_EQ(sink.failure_reason(), "the file could not be written");
  EXPECT_NO_THROW(sink.finish({}));
  EXPECT_EQ(sink.files(), std::vector<std::string>{"none: no sample arrived"});
}

}  // namespace
}  // namespace calyra::test
