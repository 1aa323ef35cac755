// The calyra program run against virtual headsets: the fixture shared by the
// program tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "program_runner.h"

namespace calyra::test {

namespace fs = std::filesystem;

// Fast-paced headsets where timing does not matter; "CY KESTREL 9" and
// "CY LOSSY 12" stream in real time for the tests that depend on it.
inline const char* const devices =
    "CY KESTREL 5,pace=fast;"
    "CY FINCH 2,model=1,pace=fast;"
    "CY KESTREL 6,model=5,pace=fast;"
    "CY OLD 7,fw=3.5.0,pace=fast;"
    "CY LOSSY 8,pace=fast,loss=0.2,seed=3;"
    "CY KESTREL 9;"
    "CY MUTE 10,ota_ack=0;"
    "CY DROP 11,pace=fast,drop_after=20;"
    "CY GONE 13,pace=fast,drop_after=20,down_ms=600000;"
    "CY FLAP 14,drop_after=2,down_ms=300;"
    "CY LOSSY 12,loss=0.2,seed=3";

class program : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("calyra_prog_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  static run_result run(std::vector<std::string> args, std::vector<calyra::test::trigger> triggers = {}) {
    run_request request;
    request.args = std::move(args);
    request.triggers = std::move(triggers);
    return run_with(std::move(request));
  }

  // `request` with --virtual first and the test headsets added.
  static run_result run_with(run_request request) {
    request.args.insert(request.args.begin(), "--virtual");
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"CYCORE_VIRTUAL_DEVICES", devices},
                                     {"CYCORE_VIRTUAL_SCAN_SCALE", "0.02"}}) {
      const bool given = std::any_of(request.env.begin(), request.env.end(),
                                     [&](const auto& entry) { return entry.first == key; });
      if (!given) request.env.emplace_back(key, value);
    }
    return run_calyra(request);
  }

  static std::string describe(const run_result& r) {
    return "exit " + std::to_string(r.exit_code) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
  }

  // A failure is one line on standard error naming the code and its meaning.
  static void expect_failure(const run_result& r, const std::string& text) {
    EXPECT_NE(r.exit_code, 0) << describe(r);
    EXPECT_NE(r.err.find(text), std::string::npos) << describe(r);
    // The failure line, and the library's reason on a line of its own when it gave one.
    const auto lines = std::count(r.err.begin(), r.err.end(), '\n');
    EXPECT_TRUE(lines == 1 || (lines == 2 && r.err.find("\n  ") != std::string::npos)) << describe(r);
  }

  fs::path dir_;
};

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Rows of a CSV recording, without its comment line.
inline std::vector<std::vector<std::string>> read_csv(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("#", 0) == 0) continue;
    std::vector<std::string> cells;
    std::istringstream s(line);
    for (std::string cell; std::getline(s, cell, ',');) cells.push_back(cell);
    if (!line.empty() && line.back() == ',') cells.emplace_back();
    rows.push_back(cells);
  }
  return rows;
}

}  // namespace calyra::test
