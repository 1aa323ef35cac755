// Runs that do not end as planned: killed at any moment, or fed a stream
// that stops delivering. What they leave must open, and recover must make
// it a finished recording.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "bdf_reader.h"
#include "mne_reader.h"
#include "program_fixture.h"

using namespace calyra::test;

namespace {

bool has_annotation(const bdf_contents& c, const std::string& text) {
  return std::any_of(c.annotations.begin(), c.annotations.end(), [&](const auto& a) { return a.text == text; });
}

// MNE takes a BDF file by its extension only.
std::string copy_for_mne(const std::string& part) {
  const std::string copy = part.substr(0, part.size() - 5) + "_left.bdf";
  fs::copy_file(part, copy, fs::copy_options::overwrite_existing);
  return copy;
}

}  // namespace

// kill -9 at random moments, some right after an annotation was typed: the
// leftover opens with EDFlib and MNE holding every sample up to a second
// before the kill and the annotations typed before that; recover turns it
// into a finished recording. CALYRA_KILL_RUNS sets the number of runs.
TEST_F(program, a_killed_run_leaves_a_readable_recording_that_recover_finishes) {
  const char* runs_text = std::getenv("CALYRA_KILL_RUNS");
  const int runs = runs_text != nullptr ? std::atoi(runs_text) : 6;
  std::mt19937 random(static_cast<unsigned>(std::random_device{}()));
  std::vector<std::string> for_mne;  // read in one go at the end: MNE is slow to start
  std::vector<long> expected_samples;
  for (int i = 0; i < runs; ++i) {
    const double delay = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    const bool after_annotation = i % 2 == 1;
    SCOPED_TRACE("run " + std::to_string(i) + ", killed " + std::to_string(delay) + " s after 2.0 s" +
                 (after_annotation ? ", right after an annotation" : ""));
    const std::string out = file("k" + std::to_string(i) + ".bdf");
    const std::string part = out + ".part";
    const auto kill_after = [delay](pid_t pid) {
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
      ::kill(pid, SIGKILL);
    };
    run_request request;
    request.args = {"stream", "CY KESTREL 9", "--seconds", "0", "--out", out};
    request.triggers = {{"1.0 s (until Ctrl-C)", "typed early\n", false, false, {}},
                        {"2.0 s (until Ctrl-C)", after_annotation ? "typed at the end\n" : "", false, false,
                         kill_after}};
    const run_result r = run_with(request);
    ASSERT_EQ(r.exit_code, 128 + SIGKILL) << describe(r);

    // When the "2.0 s" line was printed, 2 s had been handed to the file;
    // `delay` later a second less than 2 + delay must be on disk.
    const bdf_contents left = read_bdf(part);
    const auto samples = left.signals[0].samples.size();
    EXPECT_GE(samples, static_cast<std::size_t>((1.0 + delay) * 250));
    EXPECT_TRUE(has_annotation(left, "typed early"));
    EXPECT_NE(read_text(file("k" + std::to_string(i) + "_events.tsv.part")).find("typed early"),
              std::string::npos);
    for_mne.push_back(copy_for_mne(part));
    expected_samples.push_back(static_cast<long>(samples));

    run_request recover;
    recover.args = {"recover", part};
    const run_result fixed = run_calyra(recover);
    ASSERT_EQ(fixed.exit_code, 0) << describe(fixed);
    EXPECT_FALSE(fs::exists(part));
    const bdf_contents done = read_bdf(out);
    EXPECT_EQ(done.signals[0].samples.size(), samples);
    EXPECT_TRUE(has_annotation(done, "typed early"));
    for_mne.push_back(out);
    expected_samples.push_back(static_cast<long>(samples));
    // The description written at the start keeps the device, now with what the file holds.
    const std::string json = read_text(file("k" + std::to_string(i) + ".json"));
    EXPECT_NE(json.find("\"state\": \"recovered\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"name\": \"CY KESTREL 9\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"samples\": " + std::to_string(samples) + ","), std::string::npos) << json;
  }
  const std::vector<mne_contents> in_mne = read_with_mne(for_mne);
  ASSERT_EQ(in_mne.size(), for_mne.size());
  for (std::size_t f = 0; f < for_mne.size(); ++f) {
    EXPECT_EQ(in_mne[f].n_times(), expected_samples[f]) << for_mne[f];
    const auto& notes = in_mne[f].annotations;
    EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const auto& a) { return a.second == "typed early"; }))
        << for_mne[f];
  }
}

// A leftover in the way of a new run is kept, and the refusal names the
// command that saves it.
TEST_F(program, a_stale_leftover_names_the_recover_command) {
  const std::string out = file("stale.bdf");
  std::ofstream(out + ".part") << "left by a crash";
  const run_result r = run({"stream", "CY KESTREL 5", "--seconds", "1", "--out", out});
  expect_failure(r, "calyra recover " + out + ".part");
  EXPECT_EQ(read_text(out + ".part"), "left by a crash");
}

// A headset whose notifications cannot be decoded makes the run give up
// after --stall-timeout with a non-zero exit and the reason.
TEST_F(program, a_stream_without_decodable_samples_ends_after_the_stall_timeout) {
  const std::string replay = file("short.hex");
  std::ofstream(replay) << "00\n";
  run_request request;
  request.args = {"stream", "CY STALL 3", "--seconds", "30", "--stall-timeout", "1", "--out", file("s.bdf")};
  request.env = {{"CYCORE_VIRTUAL_DEVICES", "CY STALL 3,replay=" + replay}};
  request.timeout_seconds = 20;
  const run_result r = run_with(request);
  expect_failure(r, "no decodable sample for 1 s");
  EXPECT_LT(r.seconds, 10.0);
  EXPECT_NE(r.out.find("Summary (the stream stalled)"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(file("s.bdf.part")));
}
