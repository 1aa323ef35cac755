// The calyra program never loses, truncates or mislabels a recording: closed
// output, full disks, odd annotations, existing files and repeated Ctrl-C.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "bdf_reader.h"
#include "mne_reader.h"
#include "program_fixture.h"

using namespace calyra::test;

namespace {

// The lines of the events file after its header, split at tabs.
std::vector<std::vector<std::string>> read_events(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(read_text(path));
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "onset\tduration\tsample\tdescription\tsource");
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      cells.push_back(line.substr(start, tab - start));
    }
    cells.push_back(line.substr(start));
    rows.push_back(cells);
  }
  return rows;
}

bool valid_utf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

// `calyra stream ... | head -2`, and `| tee` with Ctrl-C to the whole group:
// the reader goes away, the recording must not.
TEST_F(program, a_closed_standard_output_never_stops_the_recording) {
  const std::string bdf = file("head.bdf");
  run_request request;
  request.args = {"stream", "CY KESTREL 9", "--seconds", "3", "--out", bdf};
  request.triggers = {{"1.0 s / 3.0 s", "", false, /*close_output=*/true, {}}};
  const run_result r = run_with(request);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.err.find("standard output was closed"), std::string::npos) << describe(r);
  EXPECT_FALSE(fs::exists(bdf + ".part"));
  EXPECT_EQ(read_bdf(bdf).signals[0].samples.size(), 750U);

  const std::string tee = file("tee.bdf");
  run_request interrupted;
  interrupted.args = {"stream", "CY KESTREL 9", "--seconds", "0", "--out", tee};
  interrupted.triggers = {{"1.0 s (until Ctrl-C)", "", /*interrupt=*/true, /*close_output=*/true, {}}};
  const run_result t = run_with(interrupted);
  EXPECT_EQ(t.exit_code, 0) << describe(t);
  EXPECT_FALSE(fs::exists(tee + ".part"));
  const auto samples = read_bdf(tee).signals[0].samples.size();
  EXPECT_GE(samples, 250U);
  EXPECT_EQ(read_with_mne(tee).n_times(), static_cast<long>(samples));
}

// A full disk ends the run non-zero, naming the file, and what was written
// stays readable. A tiny tmpfs where mounting is allowed; a file size limit
// (which fails writes the same way, with EFBIG) always.
TEST_F(program, a_full_disk_fails_the_run_and_keeps_a_readable_file) {
  const auto check = [&](const std::string& out, long long size_limit) {
    SCOPED_TRACE(out);
    run_request request;
    request.args = {"stream", "CY KESTREL 5", "--seconds", "3", "--out", out};
    request.file_size_limit = size_limit;
    const run_result r = run_with(request);
    EXPECT_EQ(r.exit_code, 1) << describe(r);
    // The disk may fill while the data file or while its JSON sidecar is
    // rewritten (when the start settles): either is named, and the data
    // file ends readable in both cases.
    const std::string stem = out.substr(0, out.rfind('.'));
    const bool data_failed = r.err.find("cannot write " + out) != std::string::npos;
    EXPECT_TRUE(data_failed || r.err.find("cannot write " + stem + ".json") != std::string::npos) << describe(r);
    EXPECT_FALSE(fs::exists(out + ".part"));
    ASSERT_TRUE(fs::exists(out)) << describe(r);
    if (out.ends_with(".bdf")) {
      if (data_failed) {
        EXPECT_NE(r.err.find("stays readable"), std::string::npos) << describe(r);
      }
      const auto kept = read_bdf(out).signals[0].samples.size();
      EXPECT_GT(kept, 0U);
      EXPECT_LT(kept, 750U);
      EXPECT_EQ(read_with_mne(out).n_times(), static_cast<long>(kept));
    } else {
      const std::string text = read_text(out);
      ASSERT_FALSE(text.empty());
      EXPECT_EQ(text.back(), '\n');  // whole rows only
      const auto rows = read_csv(out);
      EXPECT_GT(rows.size(), 10U);
      EXPECT_LT(rows.size(), 751U);
      EXPECT_EQ(rows.back().size(), rows.front().size());
    }
  };
  // 3 s need about 17 KB as BDF and 60 KB as CSV.
  check(file("limited_bdf.bdf"), 8 * 1024);
  check(file("limited_csv.csv"), 8 * 1024);

  // A long recording stops as soon as the data stops reaching the disk,
  // instead of streaming on into nothing.
  run_request long_run;
  const std::string out = file("long.bdf");
  long_run.args = {"stream", "CY KESTREL 5", "--seconds", "600", "--out", out};
  long_run.file_size_limit = 16 * 1024;
  const run_result stopped = run_with(long_run);
  EXPECT_EQ(stopped.exit_code, 1) << describe(stopped);
  EXPECT_NE(stopped.out.find("Summary (the file could not be written)"), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.err.find("cannot write " + out), std::string::npos) << describe(stopped);
  EXPECT_NE(stopped.err.find("stays readable"), std::string::npos) << describe(stopped);
  EXPECT_GT(read_bdf(out).signals[0].samples.size(), 0U);

  const fs::path small = dir_ / "small";
  fs::create_directories(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=12k") == 0) {
    struct unmount {
      std::string path;
      ~unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } cleanup{small.string()};
    check((small / "full.bdf").string(), -1);
  } else {
    std::cout << "[ INFO     ] no right to mount a tmpfs: the full disk is the file size limit only\n";
  }
}

// Bytes that are not UTF-8, texts longer than the BDF field and 200 lines at
// once: every annotation reads back, in the order typed, in the BDF file and
// in full in the events file.
TEST_F(program, annotations_survive_bad_bytes_long_texts_and_bursts) {
  std::string burst = "bad \xff\xfe caf\xe9\n";
  const std::string long_text = "a long note: " + std::string(60, 'x') + " \xE2\x9C\x93 end";
  burst += long_text + "\n";
  for (int i = 1; i <= 200; ++i) burst += "marker " + std::to_string(i) + "\n";
  const std::string bdf = file("notes.bdf");
  const run_result r = run({"stream", "CY KESTREL 9", "--seconds", "2", "--out", bdf},
                           {{"Configs(", burst, false, false, {}}});
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.out.find("Annotations     202"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 annotation text was shortened to 40 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("not UTF-8"), std::string::npos) << r.out;

  const auto check_order = [](const std::vector<std::string>& texts) {
    ASSERT_EQ(texts.size(), 202U);
    EXPECT_EQ(texts[0], "bad \xEF\xBF\xBD\xEF\xBF\xBD caf\xEF\xBF\xBD");
    for (int i = 1; i <= 200; ++i) EXPECT_EQ(texts[static_cast<std::size_t>(i + 1)], "marker " + std::to_string(i));
  };
  std::vector<std::string> in_bdf;
  for (const auto& a : read_bdf(bdf).annotations) in_bdf.push_back(a.text);
  check_order(in_bdf);
  EXPECT_EQ(in_bdf[1], long_text.substr(0, 40));

  const auto events = read_events(file("notes_events.tsv"));
  std::vector<std::string> in_events;
  for (const auto& e : events) {
    ASSERT_EQ(e.size(), 5U);
    EXPECT_TRUE(valid_utf8(e[3])) << e[3];
    EXPECT_EQ(e[1], "n/a");
    EXPECT_EQ(e[4], "stdin");
    in_events.push_back(e[3]);
  }
  check_order(in_events);
  EXPECT_EQ(in_events[1], long_text);

  std::vector<std::string> in_mne;
  for (const auto& [onset, text] : read_with_mne(bdf).annotations) in_mne.push_back(text);
  check_order(in_mne);

  // The CSV file gets the repaired text too.
  const std::string csv = file("notes_csv.csv");
  // A real-time headset: the line is typed well before the run ends.
  const run_result c = run({"stream", "CY KESTREL 9", "--seconds", "1", "--out", csv},
                           {{"Configs(", "bad \xff\xfe caf\xe9\n", false, false, {}}});
  ASSERT_EQ(c.exit_code, 0) << describe(c);
  const std::string text = read_text(csv);
  EXPECT_TRUE(valid_utf8(text));
  EXPECT_NE(text.find(",bad \xEF\xBF\xBD\xEF\xBF\xBD caf\xEF\xBF\xBD"), std::string::npos) << text.substr(0, 300);
}

// An existing recording is never replaced unasked, a FILE.part left by a
// crash is never truncated, and two runs never write the same file.
TEST_F(program, existing_files_are_kept_unless_overwrite_is_given) {
  const std::string keep = file("keep.bdf");
  std::ofstream(keep) << "precious";
  const run_result refused = run({"stream", "CY KESTREL 5", "--seconds", "1", "--out", keep});
  expect_failure(refused, "keep.bdf already exists (give --overwrite");
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(read_text(keep), "precious");

  const run_result replaced = run({"stream", "CY KESTREL 5", "--seconds", "1", "--out", keep, "--overwrite"});
  ASSERT_EQ(replaced.exit_code, 0) << describe(replaced);
  EXPECT_EQ(read_bdf(keep).signals[0].samples.size(), 250U);
  EXPECT_TRUE(fs::exists(file("keep_events.tsv")));
  EXPECT_TRUE(fs::exists(file("keep.json")));

  const std::string stale = file("stale.bdf");
  std::ofstream(stale + ".part") << "left by a crash";
  expect_failure(run({"stream", "CY KESTREL 5", "--seconds", "1", "--out", stale}), "stale.bdf.part is left");
  EXPECT_EQ(read_text(stale + ".part"), "left by a crash");

  // A run in progress holds the lock on its FILE.part: even --overwrite waits its turn.
  const int fd = ::open((stale + ".part").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  expect_failure(run({"stream", "CY KESTREL 5", "--seconds", "1", "--out", stale, "--overwrite"}),
                 "another calyra is recording to");
  ::close(fd);
  EXPECT_EQ(read_text(stale + ".part"), "left by a crash");
  const run_result over = run({"stream", "CY KESTREL 5", "--seconds", "1", "--out", stale, "--overwrite"});
  ASSERT_EQ(over.exit_code, 0) << describe(over);
  EXPECT_FALSE(fs::exists(stale + ".part"));
  EXPECT_EQ(read_bdf(stale).signals[0].samples.size(), 250U);
}

// Ctrl-C twice (or `timeout -s INT`, which signals twice): the stream stops
// without waiting long for the headset, and the file is still closed and valid.
TEST_F(program, a_second_interrupt_still_closes_a_valid_file) {
  const std::string bdf = file("twice.bdf");
  // Both signals are pending before the program can react to the first.
  const auto twice = [](pid_t pid) {
    kill(pid, SIGSTOP);
    kill(pid, SIGINT);
    kill(pid, SIGTERM);
    kill(pid, SIGCONT);
  };
  const run_result r = run({"stream", "CY KESTREL 9", "--seconds", "0", "--out", bdf},
                           {{"1.0 s (until Ctrl-C)", "", false, false, twice}});
  EXPECT_EQ(r.exit_code, 130) << describe(r);
  EXPECT_FALSE(fs::exists(bdf + ".part"));
  const auto samples = read_bdf(bdf).signals[0].samples.size();
  EXPECT_GE(samples, 250U);
  EXPECT_EQ(read_with_mne(bdf).n_times(), static_cast<long>(samples));

  // The second signal a moment after the first lands while the stream stops.
  const std::string soon = file("soon.bdf");
  const auto one_then_another = [](pid_t pid) {
    kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    kill(pid, SIGINT);
  };
  const run_result s = run({"stream", "CY KESTREL 9", "--seconds", "0", "--out", soon},
                           {{"1.0 s (until Ctrl-C)", "", false, false, one_then_another}});
  EXPECT_TRUE(s.exit_code == 130 || s.exit_code == 0) << describe(s);
  EXPECT_FALSE(fs::exists(soon + ".part"));
  EXPECT_GE(read_bdf(soon).signals[0].samples.size(), 250U);
  // Closing the terminal window (SIGHUP) stops the stream like Ctrl-C.
  const std::string hangup = file("hangup.bdf");
  const run_result h = run({"stream", "CY KESTREL 9", "--seconds", "0", "--out", hangup},
                           {{"1.0 s (until Ctrl-C)", "", false, false, [](pid_t pid) { kill(pid, SIGHUP); }}});
  EXPECT_EQ(h.exit_code, 0) << describe(h);
  EXPECT_NE(h.out.find("Summary (stopped: the terminal was closed)"), std::string::npos) << h.out;
  EXPECT_GE(read_bdf(hangup).signals[0].samples.size(), 250U);
}

// Header texts are never garbled or cut unseen: ASCII in the BDF header,
// the exact UTF-8 in the JSON file, and the summary says what changed.
TEST_F(program, header_texts_are_rendered_in_ascii_and_cuts_are_reported) {
  const std::string bdf = file("named.bdf");
  const run_result r = run({"stream", "CY KESTREL 5", "--seconds", "1", "--out", bdf, "--subject",
                            "Jos\xC3\xA9 M\xC3\xBCller", "--session", "session-twenty-chars", "--note",
                            "a note that is far too long for what is left"});
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.out.find("the subject is \"Jose_Muller\" in the BDF header"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the note was shortened to"), std::string::npos) << r.out;
  EXPECT_EQ(read_bdf(bdf).patient, "Jose Muller");  // readers turn the subfield's _ back into blanks
  const std::string json = read_text(file("named.json"));
  EXPECT_NE(json.find("\"subject\": \"Jos\xC3\xA9 M\xC3\xBCller\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"note\": \"a note that is far too long for what is left\""), std::string::npos);
}

// The CSV file reads as the usual Python calls expect: its first line names
// the columns.
TEST_F(program, csv_recordings_open_in_the_usual_python_readers) {
  const std::string csv = file("plain.csv");
  // A real-time headset: the line is typed well before the run ends.
  const run_result r = run({"stream", "CY KESTREL 9", "--seconds", "1", "--channels", "1-2", "--out", csv},
                           {{"Configs(", "with, a comma\n", false, false, {}}});
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  const std::string script =
      "import csv, sys, numpy\n"
      "rows = list(csv.DictReader(open(sys.argv[1])))\n"
      "data = numpy.genfromtxt(sys.argv[1], delimiter=',', names=True, usecols=range(6))\n"
      "print(len(rows), rows[0]['E1'] != '', [r['ANNOTATION'] for r in rows if r['ANNOTATION']],\n"
      "      data.dtype.names, len(data))\n";
  std::ofstream(file("read.py")) << script;
  std::FILE* pipe = ::popen(("/usr/bin/python3 " + file("read.py") + " " + csv + " 2>&1").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  EXPECT_EQ(::pclose(pipe), 0) << output;
  EXPECT_EQ(output, "250 True ['with, a comma'] ('sample', 'time', 'host_time_s', 'E1', 'E2', 'STREAMING') 250\n");
}
