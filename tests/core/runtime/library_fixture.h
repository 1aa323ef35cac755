// A fixture for tests that drive the process-wide library state: every test
// starts from a closed library with the default configuration, and leaves
// the library closed whatever happens.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cycore.h"
#include "runtime/console.h"
#include "runtime/logger.h"
#include "library/state.h"

namespace calyra::core::testing {

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    close_quietly();
    state::store_config(default_config());
    console::set_enabled(true);
    dir_ = std::filesystem::temp_directory_path() /
           ("cycore-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }

  void TearDown() override {
    close_quietly();
    state::store_config(default_config());
    console::set_enabled(true);
    std::filesystem::remove_all(dir_);
  }

  static void close_quietly() {
    if (is_initialized()) cy_core_close();
  }

  std::string log_file() const { return (dir_ / "test.log").string(); }

  // Logging on, into log_file(), with the given prefixes.
  cy_core_config logging_config(bool timestamps = false, bool thread_ids = false) const {
    cy_core_config config = default_config();
    config.logging_enabled = true;
    config.timestamps_enabled = timestamps;
    config.thread_ids_enabled = thread_ids;
    std::snprintf(config.log_path, sizeof config.log_path, "%s", log_file().c_str());
    return config;
  }

  // Initialises the library with `config` in force from the start.
  void init_with(const cy_core_config& config) {
    state::store_config(config);
    ASSERT_EQ(cy_core_init(), CY_OK);
  }

  static std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::vector<std::string> log_lines() const { return read_lines(log_file()); }

  std::filesystem::path dir_;
};

// The nine lines of the configuration report for a record, without prefixes.
inline std::vector<std::string> report_lines(const cy_core_config& c, std::size_t buffer_bytes,
                                             const char* level_word) {
  auto word = [](bool b) { return std::string(b ? "true" : "false"); };
  return {"[INFO] Calyra Core initialized.",
          "[INFO] CONFIG: logging_enabled: " + word(c.logging_enabled),
          std::string("[INFO] CONFIG: log_level: ") + level_word,
          "[INFO] CONFIG: append_logs: " + word(c.append_logs),
          "[INFO] CONFIG: timestamps_enabled: " + word(c.timestamps_enabled),
          "[INFO] CONFIG: thread_ids_enabled: " + word(c.thread_ids_enabled),
          "[INFO] CONFIG: autoflush: " + word(c.autoflush),
          "[INFO] CONFIG: log_buffer_size: " + std::to_string(buffer_bytes),
          "[INFO] CONFIG: chunk_size: " + std::to_string(c.chunk_size)};
}

}  // namespace calyra::core::testing
