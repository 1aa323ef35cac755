// The calyra program end to end against virtual headsets.
#include <chrono>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bdf_reader.h"
#include "mne_reader.h"
#include "program_fixture.h"

using namespace calyra::test;


TEST_F(program, scan_lists_the_virtual_headsets) {
  const run_result r = run({"scan"});
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.out.find("NAME"), std::string::npos);
  for (const char* name : {"CY KESTREL 5", "CY FINCH 2", "CY MUTE 10"}) {
    EXPECT_NE(r.out.find(name), std::string::npos) << name << "\n" << r.out;
  }
}

TEST_F(program, info_battery_and_charging_show_the_records) {
  const std::string log = file("core.log");
  const run_result info = run({"--log", log, "info", "CY KESTREL 5"});
  ASSERT_EQ(info.exit_code, 0) << describe(info);
  for (const char* line : {"Model             KESTREL (code 4)", "Hardware          2.0.0",
                           "Firmware          3.6.1", "Compatible        yes",
                           "Electrodes        4", "Accelerometer     yes", "Firmware update   yes",
                           "Level             80", "Sleep timeout"}) {
    EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
  }
  std::ifstream log_in(log);
  const std::string log_text((std::istreambuf_iterator<char>(log_in)), {});
  EXPECT_NE(log_text.find("[INFO]"), std::string::npos) << log_text;

  const run_result old = run({"info", "CY OLD 7"});
  ASSERT_EQ(old.exit_code, 0) << describe(old);
  EXPECT_NE(old.out.find("Compatible        no"), std::string::npos) << old.out;
  EXPECT_NE(old.out.find("Firmware          3.5.0"), std::string::npos) << old.out;

  const run_result battery = run({"battery", "CY FINCH 2"});
  ASSERT_EQ(battery.exit_code, 0) << describe(battery);
  EXPECT_NE(battery.out.find("Level             80"), std::string::npos) << battery.out;

  const run_result charging = run({"charging", "CY KESTREL 5", "--timeout", "45", "--flag", "0"});
  ASSERT_EQ(charging.exit_code, 0) << describe(charging);
  EXPECT_NE(charging.out.find("Flag              0 (off)"), std::string::npos) << charging.out;
  EXPECT_NE(charging.out.find("Sleep timeout     45"), std::string::npos) << charging.out;
}

TEST_F(program, update_reports_progress_and_a_silent_headset_fails) {
  const std::string image = file("firmware.bin");
  std::ofstream(image, std::ios::binary) << std::string(1000, '\x5A');  // 5 blocks of up to 244 bytes

  const run_result ok = run({"update", "CY KESTREL 5", "--image", image});
  ASSERT_EQ(ok.exit_code, 0) << describe(ok);
  EXPECT_NE(ok.out.find("100%  block 5 of 5"), std::string::npos) << ok.out;

  expect_failure(run({"update", "CY MUTE 10", "--image", image}), "UPDATE_FAILED");
  expect_failure(run({"update", "CY KESTREL 5", "--image", file("missing.bin")}), "missing.bin");
}

TEST_F(program, bdf_recording_holds_what_was_streamed) {
  // The same seeded stream twice: once as CSV (exact text), once as BDF+.
  const std::string csv = file("s_csv.csv");
  const std::string bdf = file("s_bdf.bdf");
  const std::vector<std::string> stream = {"stream", "CY KESTREL 5", "--seconds", "2", "--accel"};
  auto with_out = [&](const std::string& out) {
    std::vector<std::string> args = stream;
    args.insert(args.end(), {"--out", out});
    return args;
  };
  const run_result as_csv = run(with_out(csv));
  ASSERT_EQ(as_csv.exit_code, 0) << describe(as_csv);
  const run_result as_bdf = run(with_out(bdf));
  ASSERT_EQ(as_bdf.exit_code, 0) << describe(as_bdf);
  EXPECT_NE(as_bdf.out.find("quality: E1 "), std::string::npos) << as_bdf.out;
  EXPECT_NE(as_bdf.out.find("Summary"), std::string::npos) << as_bdf.out;

  EXPECT_EQ(read_text(csv).rfind("sample,time,", 0), 0U);
  const auto rows = read_csv(csv);
  ASSERT_EQ(rows.size(), 501U);  // header + 2 s at 250 Hz
  EXPECT_EQ(rows[0], (std::vector<std::string>{"sample", "time", "host_time_s", "E1", "E2", "E3", "E4", "Accel X",
                                               "Accel Y", "Accel Z", "STREAMING", "ANNOTATION"}));
  EXPECT_EQ(rows[1][1], "0");
  EXPECT_EQ(rows[251][1], "1");  // the time column: seconds from the first row
  const auto rec = calyra::test::read_bdf(bdf);
  ASSERT_EQ(rec.signals.size(), 7U);
  EXPECT_EQ(rec.signals[0].label, "EEG E1");
  EXPECT_EQ(rec.signals[6].label, "MISC Accel Z");
  EXPECT_DOUBLE_EQ(rec.signals[0].physical_max, 562500.0);  // gain 8: 4.5 V full scale
  EXPECT_NE(rec.equipment.find("KESTREL"), std::string::npos);
  for (std::size_t s = 0; s < 7; ++s) {
    ASSERT_EQ(rec.signals[s].samples.size(), 500U);
    for (std::size_t i = 0; i < 500; ++i) {
      ASSERT_NEAR(rec.signals[s].samples[i], std::stod(rows[i + 1][s + 3]), rec.resolution(s))
          << rec.signals[s].label << " sample " << i;
    }
  }
  // MNE opens it without a warning and types the signals by their labels.
  const mne_contents mne = read_with_mne(bdf);
  EXPECT_EQ(mne.n_times(), 500);
  EXPECT_EQ(mne.fields.at("names"), "E1,E2,E3,E4,Accel X,Accel Y,Accel Z");
  EXPECT_EQ(mne.fields.at("types"), "eeg,eeg,eeg,eeg,misc,misc,misc");
}

TEST_F(program, packet_loss_is_filled_and_marked) {
  const std::string csv = file("loss_csv.csv");
  const std::string bdf = file("loss_bdf.bdf");
  const run_result r = run({"stream", "CY LOSSY 8", "--seconds", "4", "--out", csv, "--contact"});
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  const auto rows = read_csv(csv);
  ASSERT_EQ(rows.size(), 1001U);
  const std::size_t streaming = rows[0].size() - 2;
  ASSERT_EQ(rows[0][streaming], "STREAMING");
  std::size_t fillers = 0;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    // Sample numbers stay consecutive through the gaps.
    ASSERT_EQ(std::stoull(rows[i][0]), std::stoull(rows[1][0]) + i - 1);
    if (rows[i][streaming] == "0") {
      ++fillers;
      EXPECT_EQ(rows[i][3], "0") << i;  // filler value
      EXPECT_EQ(rows[i][7], "0") << i;  // contact flag of a filler
    }
  }
  EXPECT_GT(fillers, 0U);
  // A KESTREL packet carries 50 samples: the summary counts packets, not gaps.
  ASSERT_EQ(fillers % 50, 0U);
  EXPECT_NE(r.out.find("Missed packets  " + std::to_string(fillers / 50) + " (" + std::to_string(fillers) +
                       " samples filled)"),
            std::string::npos)
      << r.out;

  const run_result b = run({"stream", "CY LOSSY 8", "--seconds", "4", "--out", bdf});
  ASSERT_EQ(b.exit_code, 0) << describe(b);
  double gap_seconds = 0.0;
  for (const auto& a : calyra::test::read_bdf(bdf).annotations) {
    if (a.text == "BAD missed samples") gap_seconds += a.duration_seconds;
  }
  EXPECT_NEAR(gap_seconds, static_cast<double>(fillers) / 250.0, 1e-9);
  // Analysis in MNE skips the gaps.
  const mne_contents mne = read_with_mne(bdf);
  EXPECT_EQ(mne.n_times(), 1000);
  EXPECT_EQ(std::stol(mne.fields.at("kept_by_reject")), 1000 - static_cast<long>(fillers));
}

TEST_F(program, lines_on_standard_input_become_annotations_at_their_sample) {
  const std::string bdf = file("a.bdf");
  const run_result r = run({"stream", "CY KESTREL 9", "--seconds", "6", "--out", bdf},
                           {{"3.0 s / 6.0 s", "eyes closed\n", false, false, {}},
                            {"4.0 s / 6.0 s", "eyes open \xE2\x9C\x93\n", false, false, {}}});
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  const auto rec = calyra::test::read_bdf(bdf);
  ASSERT_EQ(rec.signals[0].samples.size(), 1500U);
  double closed = -1.0, open = -1.0;
  for (const auto& a : rec.annotations) {
    if (a.text == "eyes closed") closed = a.onset_seconds;
    if (a.text == "eyes open \xE2\x9C\x93") open = a.onset_seconds;
  }
  // Sent when 3 s (4 s) of samples had arrived; chunking, notification
  // latency and a slow (sanitizer) build put the stamp later, never earlier.
  EXPECT_GE(closed, 2.9) << r.out;
  EXPECT_LE(closed, 4.0) << r.out;
  EXPECT_GE(open, 3.9) << r.out;
  EXPECT_LE(open, 5.0) << r.out;
}

TEST_F(program, ctrl_c_stops_cleanly_with_a_valid_file) {
  const std::string bdf = file("i.bdf");
  const run_result r = run({"stream", "CY KESTREL 9", "--seconds", "0", "--out", bdf},
                           {{"2.0 s (until Ctrl-C)", "", true, false, {}}});
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.out.find("stopped by Ctrl-C"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(bdf + ".part"));
  const auto rec = calyra::test::read_bdf(bdf);
  ASSERT_EQ(rec.signals.size(), 4U);
  EXPECT_GE(rec.signals[0].samples.size(), 500U);
  EXPECT_LT(rec.signals[0].samples.size(), 2000U);
  // The file holds whole 0.1 s records; analysis skips the padding of the
  // last one and sees exactly the samples streamed.
  const auto counted = r.out.find(" samples at 250 Hz)");
  ASSERT_NE(counted, std::string::npos) << r.out;
  const long streamed = std::stol(r.out.substr(r.out.rfind('(', counted) + 1));
  const mne_contents mne = read_with_mne(bdf);
  EXPECT_EQ(mne.n_times(), static_cast<long>(rec.signals[0].samples.size()));
  EXPECT_EQ(std::stol(mne.fields.at("kept_by_reject")), streamed);
}

TEST_F(program, a_dropped_link_ends_the_stream_with_the_samples_saved) {
  const std::string bdf = file("d.bdf");
  const run_result r = run({"stream", "CY DROP 11", "--seconds", "10", "--out", bdf, "--reconnect-timeout", "0"});
  expect_failure(r, "dropped during the stream");
  EXPECT_NE(r.out.find("Summary (the headset disconnected)"), std::string::npos) << r.out;
  const auto rec = calyra::test::read_bdf(bdf);
  ASSERT_EQ(rec.signals.size(), 4U);
  // 20 packets of 50 samples arrived before the link dropped.
  EXPECT_GE(rec.signals[0].samples.size(), 950U);
  EXPECT_LE(rec.signals[0].samples.size(), 1000U);
}

// A headset that does not come back: the run ends at the timeout with the
// file valid, the outage in the sidecar as not recovered and the reason said.
TEST_F(program, a_headset_that_does_not_come_back_ends_the_run_at_the_reconnect_timeout) {
  const std::string bdf = file("gone.bdf");
  const run_result r = run({"stream", "CY GONE 13", "--seconds", "30", "--out", bdf, "--reconnect-timeout", "1"});
  expect_failure(r, "did not come back within 1 s");
  EXPECT_LT(r.seconds, 15.0);
  EXPECT_NE(r.out.find("Link losses     1"), std::string::npos) << r.out;
  const auto rec = calyra::test::read_bdf(bdf);
  EXPECT_GE(rec.signals[0].samples.size(), 950U);
  EXPECT_LE(rec.signals[0].samples.size(), 1000U);
  const std::string json = read_text(file("gone.json"));
  EXPECT_NE(json.find("\"recovered\": false"), std::string::npos) << json;
  EXPECT_NE(json.find("\"reconnect_attempts\": "), std::string::npos) << json;
}

// A link that drops two packets after every start, so that losses meet the
// new streams while they start and before their samples are placed: the run
// goes on on one axis, every decoded sample kept, until Ctrl-C.
TEST_F(program, a_link_that_drops_right_after_every_start_still_gives_one_recording) {
  const std::string csv = file("flap.csv");
  run_request request;
  request.args = {"stream", "CY FLAP 14", "--out", csv};
  request.triggers = {{"link losses 4 ", "", true, false, {}}};
  const run_result r = run_with(request);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  std::istringstream rows(read_text(csv));
  std::string line;
  std::getline(rows, line);  // the column names
  long long expected = 0;
  long long decoded = 0;
  while (std::getline(rows, line)) {
    ASSERT_EQ(std::stoll(line.substr(0, line.find(','))), expected) << line;
    ++expected;
    decoded += line.find(",1,") != std::string::npos ? 1 : 0;
  }
  // Two packets of 50 samples on each of at least four links.
  EXPECT_GE(decoded, 400) << r.out;
  EXPECT_GT(expected, decoded);
  const std::string json = read_text(file("flap.json"));
  std::size_t recovered = 0;
  for (auto at = json.find("\"recovered\": true"); at != std::string::npos; at = json.find("\"recovered\": true", at + 1)) {
    ++recovered;
  }
  EXPECT_GE(recovered, 3u) << json;
}

// Ctrl-C while the headset is gone ends the run at once, the recording kept.
TEST_F(program, ctrl_c_during_an_outage_ends_at_once_with_the_recording_kept) {
  const std::string bdf = file("cut.bdf");
  run_request request;
  request.args = {"stream", "CY GONE 13", "--out", bdf};
  std::chrono::steady_clock::time_point interrupted;
  request.triggers = {{"reconnecting", "", true, false,
                       [&interrupted](pid_t) { interrupted = std::chrono::steady_clock::now(); }}};
  const run_result r = run_with(request);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.out.find("Summary (stopped by Ctrl-C)"), std::string::npos) << r.out;
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(1));
  const auto rec = calyra::test::read_bdf(bdf);
  EXPECT_GE(rec.signals[0].samples.size(), 950U);
  EXPECT_NE(read_text(file("cut.json")).find("\"recovered\": false"), std::string::npos);
}

TEST_F(program, failures_are_one_clear_line_and_leave_no_file) {
  const std::string out = file("never.bdf");
  expect_failure(run({"stream", "CY NOBODY 1", "--out", out}), "DEVICE_NOT_FOUND (no device with the requested name)");
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(fs::exists(out + ".part"));

  expect_failure(run({"stream", "CY FINCH 2", "--rate", "500", "--out", out}), "UNSUPPORTED_SAMPLE_RATE");
  EXPECT_FALSE(fs::exists(out));

  // Reported before connecting: the device name would fail otherwise.
  const run_result unwritable = run({"stream", "CY NOBODY 1", "--out", "/nonexistent-dir/x.bdf"});
  expect_failure(unwritable, "/nonexistent-dir/x.bdf");
  EXPECT_EQ(unwritable.err.find("DEVICE_NOT_FOUND"), std::string::npos);

  expect_failure(run({"stream", "CY KESTREL 5", "--channels", "2-5"}), "electrode 5 does not exist");
  expect_failure(run({"stream", "CY KESTREL 6", "--accel"}), "has no accelerometer");
  expect_failure(run({"stream", "CY OLD 7"}), "UNSUPPORTED_DEVICE");
  expect_failure(run({"info", "CY NOBODY 1"}), "DEVICE_NOT_FOUND");

  const run_result usage = run({"stream", "CY KESTREL 5", "--rate", "300"});
  expect_failure(usage, "--rate");
  EXPECT_EQ(usage.exit_code, 2);
}

TEST_F(program, every_subcommand_has_help) {
  for (const char* sub : {"scan", "info", "stream", "battery", "charging", "update", "recover", "bids"}) {
    const run_result r = run({sub, "--help"});
    EXPECT_EQ(r.exit_code, 0) << sub << describe(r);
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << sub << describe(r);
  }
}

// Configuration mistakes are reported, never turned into "nothing found".
TEST_F(program, configuration_errors_are_reported_with_their_reason) {
  run_request malformed;
  malformed.args = {"scan"};
  malformed.env = {{"CYCORE_VIRTUAL_DEVICES", "CY KESTREL 5,loss=2"}};
  const run_result bad = run_with(malformed);
  expect_failure(bad, "CYCORE_VIRTUAL_DEVICES is malformed: device entry 1 (\"CY KESTREL 5,loss=2\")");
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.err.find("loss"), std::string::npos) << bad.err;
  // The same when the environment selects the virtual headsets.
  run_request from_environment;
  from_environment.args = {"info", "CY KESTREL 5"};
  from_environment.env = {{"CYCORE_BLE_BACKEND", "virtual"}, {"CYCORE_VIRTUAL_DEVICES", "CY KESTREL 5,pace=slow"}};
  const run_result env_bad = run_calyra(from_environment);
  expect_failure(env_bad, "CYCORE_VIRTUAL_DEVICES is malformed");
  EXPECT_EQ(env_bad.exit_code, 2);

  // --virtual on the command line wins over the environment.
  run_request bogus;
  bogus.args = {"scan"};
  bogus.env = {{"CYCORE_BLE_BACKEND", "bogus"}};
  const run_result scan = run_with(bogus);
  EXPECT_EQ(scan.exit_code, 0) << describe(scan);
  EXPECT_NE(scan.out.find("CY KESTREL 5"), std::string::npos) << scan.out;

  const run_result log = run({"--log", file("missing/dir/core.log"), "info", "CY KESTREL 5"});
  expect_failure(log, "--log: cannot write");
  EXPECT_EQ(log.exit_code, 2);

  const run_result nan = run({"stream", "CY KESTREL 5", "--seconds", "nan"});
  expect_failure(nan, "--seconds");
  EXPECT_EQ(nan.exit_code, 2);
}

// What a user gets from `cmake --install`: a calyra that starts without
// LD_LIBRARY_PATH, and names as people type them.
TEST_F(program, the_installed_program_runs_and_finds_headsets_as_named) {
  const std::string prefix = file("prefix");
  const std::string install = std::string("'" CALYRA_CMAKE "' --install '" CALYRA_BUILD_DIR "' --prefix '") +
                              prefix + "' > '" + file("install.log") + "' 2>&1";
  ASSERT_EQ(std::system(install.c_str()), 0) << read_text(file("install.log"));
  const std::string command = "env -u LD_LIBRARY_PATH '" + prefix + "/bin/calyra' --version > '" +
                              file("version.txt") + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << read_text(file("version.txt"));
  EXPECT_EQ(read_text(file("version.txt")).rfind("calyra 3.6.1 (libcycore 3.6.1", 0), 0U)
      << read_text(file("version.txt"));

  const run_result help = run({"stream", "--help"});
  EXPECT_NE(help.out.find("--virtual"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("--overwrite"), std::string::npos) << help.out;

  // Paired and advertising: listed once.
  run_request scan;
  scan.args = {"scan"};
  scan.env = {{"CYCORE_VIRTUAL_DEVICES", "CY KESTREL 5,pace=fast,paired=1;CY FINCH 2,model=1,address=AA:BB:CC:DD:EE:02"}};
  const run_result listed = run_with(scan);
  ASSERT_EQ(listed.exit_code, 0) << describe(listed);
  EXPECT_EQ(listed.out.find("CY KESTREL 5"), listed.out.rfind("CY KESTREL 5")) << listed.out;

  const run_result info = run({"info", "cy kestrel 5"});
  ASSERT_EQ(info.exit_code, 0) << describe(info);
  EXPECT_NE(info.out.find("Name              CY KESTREL 5"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Sample rates      250, 500 Hz"), std::string::npos) << info.out;
  const run_result finch = run({"info", "CY FINCH 2"});
  EXPECT_NE(finch.out.find("Sample rates      250 Hz"), std::string::npos) << finch.out;

  scan.args = {"battery", "aa:bb:cc:dd:ee:02"};
  const run_result by_address = run_with(scan);
  EXPECT_EQ(by_address.exit_code, 0) << describe(by_address);
  expect_failure(run({"info", "CY KESTRL 5"}), "did you mean \"CY KESTREL 5\"?");
}

// A failure line is followed by the library's own sentence for the case.
TEST_F(program, a_failure_line_is_followed_by_the_librarys_reason) {
  run_request small_link;
  small_link.args = {"stream", "CY TIGHT 1", "--seconds", "1"};
  small_link.env = {{"CYCORE_VIRTUAL_DEVICES", "CY TIGHT 1,mtu=23"}};
  const run_result r = run_with(small_link);
  expect_failure(r, "starting the stream: PRECONDITION_FAILED (the operation cannot start in the present state)\n"
                    "  Unable to start stream - a packet of one sample");
  expect_failure(r, "(MTU 23) carries at most 20 bytes: stream fewer electrodes or use a link with a larger MTU");
}

// On a terminal the library's own lines (here: lost packets) are printed
// above the live status block, never into it.
TEST_F(program, library_lines_stay_above_the_live_status_block) {
  run_request request;
  request.args = {"stream", "CY LOSSY 12", "--seconds", "2"};
  request.terminal = true;
  const run_result r = run_with(request);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  const std::string block_start = "\x1b[J";  // the redraw clears the old block first
  const std::size_t first_block = r.out.find("samples ");
  ASSERT_NE(first_block, std::string::npos) << r.out;
  int after_block = 0;
  for (std::size_t at = r.out.find("|||||MISSED|||||"); at != std::string::npos;
       at = r.out.find("|||||MISSED|||||", at + 1)) {
    if (at < first_block) continue;
    ++after_block;
    const std::size_t line_start = r.out.rfind("CY LOSSY 12", at);
    ASSERT_NE(line_start, std::string::npos);
    ASSERT_GE(line_start, block_start.size());
    EXPECT_EQ(r.out.substr(line_start - block_start.size(), block_start.size()), block_start)
        << r.out.substr(line_start > 200 ? line_start - 200 : 0, 300);
  }
  EXPECT_GT(after_block, 0) << r.out;

  // In a pipe the lines pass through unchanged.
  request.terminal = false;
  const run_result piped = run_with(request);
  ASSERT_EQ(piped.exit_code, 0) << describe(piped);
  EXPECT_NE(piped.out.find("\nCY LOSSY 12|||||MISSED||||| "), std::string::npos) << piped.out;
  EXPECT_EQ(piped.out.find("\x1b["), std::string::npos) << piped.out;
}

// The header says who was recorded and how: subject, filters, sidecar with
// the device; pipe output has one final status line, not two.
TEST_F(program, recordings_describe_themselves) {
  const std::string bdf = file("described.bdf");
  const run_result r = run({"stream", "CY KESTREL 5", "--seconds", "2", "--out", bdf, "--bandpass", "1:40",
                            "--notch", "50", "--filter-output", "--subject", "S01", "--session", "ses-1",
                            "--note", "eyes closed"});
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  std::size_t final_lines = 0;
  for (std::size_t at = r.out.find("2.0 s / 2.0 s"); at != std::string::npos; at = r.out.find("2.0 s / 2.0 s", at + 1)) {
    ++final_lines;
  }
  EXPECT_EQ(final_lines, 1U) << r.out;

  const mne_contents mne = read_with_mne(bdf);
  EXPECT_EQ(mne.fields.at("highpass"), "1.0");
  EXPECT_EQ(mne.fields.at("lowpass"), "40.0");

  const std::string json = read_text(file("described.json"));
  for (const char* field : {"\"model\": \"KESTREL\"", "\"firmware\": \"3.6.1\"", "\"sample_rate_hz\": 250",
                            "\"gain\": 8", "\"label\": \"E4\"", "\"bandpass_hz\": \"1:40\"", "\"notch_hz\": 50",
                            "\"applied_to_recording\": true", "\"missed_packets\": 0", "\"samples\": 500",
                            "\"program\": \"calyra 3.6.1\"", "\"session\": \"ses-1\"", "\"note\": \"eyes closed\""}) {
    EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
  }
  // The start time is kept below the second: the BDF+ header and the JSON
  // file agree on the milliseconds.
  const auto rec = read_bdf(bdf);
  EXPECT_EQ(rec.patient, "S01");
  const auto ms_at = json.find("\"start_time\": \"") + 35;
  ASSERT_EQ(json[ms_at - 1], '.') << json;
  EXPECT_EQ(rec.start_subsecond / 10000, std::stoll(json.substr(ms_at, 3))) << json;
  EXPECT_EQ(rec.start_subsecond % 1000, 0);
  EXPECT_NE(read_text(file("described_events.tsv")).find("onset\tduration\tsample\tdescription"), std::string::npos);
}
