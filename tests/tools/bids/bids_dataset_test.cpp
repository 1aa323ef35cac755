// Datasets made from calyra recordings pass the community's BIDS validator
// with no error and only the warnings the README justifies, and MNE reads
// the recordings they hold with their events.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <signal.h>

#include <chrono>
#include <thread>

#include "bids_fixture.h"
#include "bids_validator.h"
#include "mne_reader.h"

namespace calyra::test {
namespace {

std::string describe(const validator_report& r) {
  std::string text;
  for (const auto* list : {&r.errors, &r.warnings}) {
    for (const auto& issue : *list) {
      text += (list == &r.errors ? "error " : "warning ") + issue.key;
      for (const auto& f : issue.files) text += " " + f;
      text += "\n";
    }
  }
  return text;
}

void expect_valid(const std::string& root) {
  const validator_report report = run_bids_validator(root);
  EXPECT_TRUE(report.errors.empty()) << describe(report);
  for (const std::string& key : report.warning_keys()) {
    EXPECT_TRUE(justified_warnings().count(key)) << "unexpected warning " << key << "\n" << describe(report);
  }
}

// The cells of a TSV row whose first cell is `first`.
std::vector<std::string> row(const std::string& path, const std::string& first) {
  for (const std::string& line : lines_of(path)) {
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      cells.push_back(line.substr(start, tab - start));
    }
    cells.push_back(line.substr(start));
    if (cells.front() == first) return cells;
  }
  return {};
}

class bids_dataset : public bids_test {
 protected:
  // One plain recording for the tests that only place it.
  static void SetUpTestSuite() {
    plain_ = (fs::temp_directory_path() / ("calyra_bids_plain_" + std::to_string(getpid()) + ".bdf")).string();
    stream(plain_, "CY KESTREL 5", "2");
  }
  static void TearDownTestSuite() {
    for (const std::string& f : {plain_, recording::json_path_for(plain_), recording::events_path_for(plain_)}) {
      fs::remove(f);
    }
  }
  static inline std::string plain_;
};

TEST_F(bids_dataset, a_plain_recording_makes_a_valid_dataset) {
  const std::string root = file("plain");
  const auto placed = place(root, names("01"), plain_);
  EXPECT_EQ(placed.recording, root + "/sub-01/eeg/sub-01_task-rest_eeg.bdf");
  expect_valid(root);

  const auto sidecar = nlohmann::json::parse(read_text(placed.sidecar_stem + "_eeg.json"));
  EXPECT_EQ(sidecar["TaskName"], "rest");
  EXPECT_EQ(sidecar["SamplingFrequency"], 250);
  EXPECT_EQ(sidecar["PowerLineFrequency"], 50.0);
  EXPECT_EQ(sidecar["EEGChannelCount"], 4);
  EXPECT_EQ(sidecar["MiscChannelCount"], 7);  // four contact flags, three axes
  EXPECT_EQ(sidecar["ManufacturersModelName"], "KESTREL");
  EXPECT_DOUBLE_EQ(sidecar["RecordingDuration"].get<double>(), 2.0);
  // The channel names are the file's own, so that readers match them.
  EXPECT_EQ(row(placed.sidecar_stem + "_channels.tsv", "EEG E1").at(1), "EEG");
  EXPECT_EQ(row(placed.sidecar_stem + "_channels.tsv", "MISC Accel X").at(1), "ACCEL");
  // The source stays where it was.
  EXPECT_TRUE(fs::exists(plain_));
}

TEST_F(bids_dataset, annotations_lost_packets_and_a_bad_channel_are_described) {
  const std::string bdf = file("flat.bdf");
  write_recording_with_a_flat_channel(bdf);
  const std::string root = file("described");
  const auto placed = place(root, names("01", "eyes"), bdf);
  expect_valid(root);

  const std::string channels = placed.sidecar_stem + "_channels.tsv";
  EXPECT_EQ(row(channels, "EEG E1").at(5), "good");
  const auto e2 = row(channels, "EEG E2");
  EXPECT_EQ(e2.at(5), "bad");
  EXPECT_NE(e2.at(6).find("flat"), std::string::npos) << e2.at(6);

  const std::string events = placed.sidecar_stem + "_events.tsv";
  EXPECT_EQ(row(events, "1.000000"), (std::vector<std::string>{"1.000000", "n/a", "250", "eyes closed"}));
  EXPECT_EQ(row(events, "2.000000"), (std::vector<std::string>{"2.000000", "0.500000", "500", "BAD missed samples"}));

  const mne_contents mne = read_with_mne(placed.recording);
  std::vector<std::string> texts;
  for (const auto& [onset, text] : mne.annotations) texts.push_back(text);
  EXPECT_NE(std::find(texts.begin(), texts.end(), "eyes closed"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "BAD missed samples"), texts.end());
}

TEST_F(bids_dataset, sessions_and_runs_of_one_subject) {
  const std::string root = file("sessions");
  for (const char* session : {"1", "2"}) {
    for (const char* run : {"1", "2"}) place(root, names("07", "rest", session, run), plain_);
  }
  expect_valid(root);
  EXPECT_EQ(lines_of(root + "/participants.tsv"), (std::vector<std::string>{"participant_id", "sub-07"}));
  const auto scans = lines_of(root + "/sub-07/ses-2/sub-07_ses-2_scans.tsv");
  ASSERT_EQ(scans.size(), 3U);
  EXPECT_EQ(scans[2].substr(0, scans[2].find('\t')), "eeg/sub-07_ses-2_task-rest_run-2_eeg.bdf");
}

// participants.tsv is extended, never rewritten from scratch: the columns
// and values the user added stay.
TEST_F(bids_dataset, a_second_subject_extends_participants) {
  const std::string root = file("two");
  place(root, names("01"), plain_);
  {
    std::ofstream(root + "/participants.tsv") << "participant_id\tage\nsub-01\t34\n";
    std::ofstream(root + "/participants.json") << R"({"age": {"Description": "age at recording", "Units": "year"}})";
  }
  place(root, names("02"), plain_);
  expect_valid(root);
  EXPECT_EQ(lines_of(root + "/participants.tsv"),
            (std::vector<std::string>{"participant_id\tage", "sub-01\t34", "sub-02\tn/a"}));
}

// A recording streamed earlier, with typed annotations and lost packets,
// imported as it is.
TEST_F(bids_dataset, an_imported_stream_recording_keeps_its_events) {
  const std::string bdf = file("lossy.bdf");
  stream(bdf, "CY LOSSY 12", "3", "stimulus A\n");
  const std::string root = file("imported");
  const auto placed = place(root, names("S3", "oddball"), bdf);
  expect_valid(root);

  const std::string events = read_text(placed.sidecar_stem + "_events.tsv");
  EXPECT_NE(events.find("\tstimulus A\n"), std::string::npos) << events;
  EXPECT_NE(events.find("\tBAD missed samples\n"), std::string::npos) << events;
  const mne_contents mne = read_with_mne(placed.recording);
  EXPECT_EQ(mne.fields.at("types").substr(0, 15), "eeg,eeg,eeg,eeg");
  bool annotated = false;
  for (const auto& [onset, text] : mne.annotations) annotated = annotated || text == "stimulus A";
  EXPECT_TRUE(annotated) << events;
}

// A stream records under a hidden name in the recording's folder: while it
// runs the validator does not see it, and when it ends it is renamed into
// place and its calyra sidecars go.
TEST_F(bids_dataset, a_staged_recording_is_invisible_until_placed) {
  const std::string root = file("staged");
  place(root, names("01"), plain_);
  const bids::placement next = placement_of(root, names("01", "rest", "", "2"));
  const std::string staged = bids::staging_path(next);
  EXPECT_EQ(fs::path(staged).filename(), ".sub-01_task-rest_run-2_eeg.bdf");
  for (const std::string& f : {plain_, recording::json_path_for(plain_), recording::events_path_for(plain_)}) {
    const std::string to = f == plain_ ? staged : (f == recording::json_path_for(plain_)
                                                       ? recording::json_path_for(staged)
                                                       : recording::events_path_for(staged));
    fs::copy_file(f, to + ".part");
  }
  expect_valid(root);

  for (const std::string& f : {staged, recording::json_path_for(staged), recording::events_path_for(staged)}) {
    fs::rename(f + ".part", f);
  }
  bids::place_recording(next, bids::read_calyra_recording(staged), bids::transfer::move);
  expect_valid(root);
  EXPECT_TRUE(fs::exists(root + "/sub-01/eeg/sub-01_task-rest_run-2_eeg.bdf"));
  std::vector<std::string> hidden;
  for (const auto& entry : fs::directory_iterator(root + "/sub-01/eeg")) {
    if (entry.path().filename().string().front() == '.') hidden.push_back(entry.path().string());
  }
  EXPECT_TRUE(hidden.empty()) << hidden.front();
}

run_result calyra(std::vector<std::string> args, std::vector<trigger> triggers = {}) {
  run_request request;
  request.args = std::move(args);
  request.args.insert(request.args.begin(), "--virtual");
  request.env = {{"CYCORE_VIRTUAL_DEVICES", "CY KESTREL 9;CY LOSSY 12,loss=0.1,seed=3"}};
  request.triggers = std::move(triggers);
  return run_calyra(request);
}

// The commands: a stream recorded straight into a dataset, refusals before
// any headset is looked for, and an import that takes the dataset's line
// frequency.
TEST_F(bids_dataset, stream_records_into_a_dataset) {
  const std::string root = file("streamed");
  const run_result r = calyra({"stream", "CY LOSSY 12", "--seconds", "3", "--contact", "--bids", root, "--subject",
                               "01", "--session", "A", "--task", "oddball", "--line-freq", "60"},
                              {{"samples ", "target\n", false, false, {}}});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const std::string bdf = root + "/sub-01/ses-A/eeg/sub-01_ses-A_task-oddball_eeg.bdf";
  EXPECT_NE(r.out.find("Recording       " + bdf), std::string::npos) << r.out;

  // A headset that does not exist: the refusals come first.
  for (const auto& [args, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--subject", "01", "--session", "A", "--task", "oddball"}, "--run 2"},
           {{"--subject", "0-1", "--task", "oddball"}, "letters and digits only"},
           {{"--subject", "01", "--task", "oddball", "--line-freq", "55"}, "50 or 60"}}) {
    std::vector<std::string> command = {"stream", "CY NOWHERE 99", "--seconds", "1", "--bids", root};
    command.insert(command.end(), args.begin(), args.end());
    const run_result refused = calyra(command);
    EXPECT_EQ(refused.exit_code, 2) << refused.err;
    EXPECT_NE(refused.err.find(why), std::string::npos) << refused.err;
  }
  const run_result imported =
      calyra({"bids", root, plain_, "--subject", "02", "--session", "A", "--task", "oddball"});
  EXPECT_EQ(imported.exit_code, 0) << imported.out << imported.err;
  expect_valid(root);

  const auto sidecar =
      nlohmann::json::parse(read_text(root + "/sub-02/ses-A/eeg/sub-02_ses-A_task-oddball_eeg.json"));
  EXPECT_EQ(sidecar["PowerLineFrequency"], 60.0);
  const mne_contents mne = read_with_mne(bdf);
  bool annotated = false;
  for (const auto& [onset, text] : mne.annotations) annotated = annotated || text == "target";
  EXPECT_TRUE(annotated);
  EXPECT_NE(read_text(root + "/sub-01/ses-A/eeg/sub-01_ses-A_task-oddball_events.tsv").find("\ttarget\n"),
            std::string::npos);
}

// Headsets recorded together: one recording each, told apart by the
// acquisition label, on one time axis through the scans' acquisition times
// (a line typed once lands at the same moment in both); a headset that is
// missing leaves nothing behind.
TEST_F(bids_dataset, headsets_recorded_together_share_one_time_axis) {
  const std::string root = file("together");
  const run_result r = calyra({"stream", "CY KESTREL 9", "CY LOSSY 12", "CY NOWHERE 99", "--allow-missing", "--seconds",
                               "3", "--bids", root, "--subject", "01", "--task", "hyper", "--line-freq", "50"},
                              {{"samples ", "together\n", false, false, {}}});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  expect_valid(root);
  // Seconds since midnight of an acq_time, and of the typed line's onset.
  const auto moment = [&](const std::string& label) {
    const std::string stem = "sub-01_task-hyper_acq-" + label;
    const std::vector<std::string> scan = row(root + "/sub-01/sub-01_scans.tsv", "eeg/" + stem + "_eeg.bdf");
    EXPECT_EQ(scan.size(), 2u) << label;
    if (scan.size() != 2) return 0.0;
    const std::string& t = scan[1];  // 2026-12-09T11:30:01.123456
    const double acquired = std::stod(t.substr(11, 2)) * 3600 + std::stod(t.substr(14, 2)) * 60 + std::stod(t.substr(17));
    for (const std::string& line : lines_of(root + "/sub-01/eeg/" + stem + "_events.tsv")) {
      if (line.ends_with("\ttogether")) return acquired + std::stod(line);
    }
    ADD_FAILURE() << "no typed line in " << stem;
    return 0.0;
  };
  EXPECT_NEAR(moment("CYKESTREL9"), moment("CYLOSSY12"), 3.0 / 250.0);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    EXPECT_EQ(entry.path().string().find("NOWHERE"), std::string::npos) << entry.path();
  }
}

// A run killed while streaming into a dataset leaves only hidden files, so
// the dataset stays valid; recover completes the recording and places it
// under its BIDS name with the line frequency given at the start.
TEST_F(bids_dataset, a_killed_run_is_recovered_into_its_place) {
  const std::string root = file("killed");
  place(root, names("01"), plain_);
  // A new subject: its folder holds nothing but hidden files until recovered.
  const run_result r = calyra(
      {"stream", "CY KESTREL 9", "--seconds", "0", "--bids", root, "--subject", "02", "--task", "rest", "--line-freq",
       "60"},
      {{"1.0 s (until Ctrl-C)", "before the crash\n", false, false, {}},
       {"2.0 s (until Ctrl-C)", "", false, false, [](pid_t pid) {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          ::kill(pid, SIGKILL);
        }}});
  ASSERT_EQ(r.exit_code, 128 + SIGKILL) << r.out << r.err;
  const std::string part = root + "/sub-02/eeg/.sub-02_task-rest_eeg.bdf.part";
  ASSERT_TRUE(fs::exists(part));
  expect_valid(root);

  const run_result recovered = calyra({"recover", part});
  ASSERT_EQ(recovered.exit_code, 0) << recovered.out << recovered.err;
  const std::string stem = root + "/sub-02/eeg/sub-02_task-rest";
  EXPECT_NE(recovered.out.find("placed as " + stem + "_eeg.bdf"), std::string::npos) << recovered.out;
  expect_valid(root);
  const auto sidecar = nlohmann::json::parse(read_text(stem + "_eeg.json"));
  EXPECT_EQ(sidecar["PowerLineFrequency"], 60.0);
  EXPECT_NE(read_text(stem + "_events.tsv").find("\tbefore the crash\n"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(root + "/sub-02/eeg")) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
  }
}

// A stream's recording that stayed under its staging name (its placement
// failed) is placed by `calyra bids` from there, as the failure says.
TEST_F(bids_dataset, a_recording_left_staged_is_placed_by_the_bids_command) {
  const std::string root = file("left");
  const std::string staged = bids::staging_path(placement_of(root, names("01")));
  fs::create_directories(fs::path(staged).parent_path());
  fs::copy_file(plain_, staged);
  fs::copy_file(recording::json_path_for(plain_), recording::json_path_for(staged));
  fs::copy_file(recording::events_path_for(plain_), recording::events_path_for(staged));

  const run_result r = calyra({"bids", root, staged, "--subject", "01", "--task", "rest", "--line-freq", "50"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(fs::exists(root + "/sub-01/eeg/sub-01_task-rest_eeg.bdf"));
  EXPECT_FALSE(fs::exists(staged));
  EXPECT_FALSE(fs::exists(recording::json_path_for(staged)));
  expect_valid(root);
}

}  // namespace
}  // namespace calyra::test
