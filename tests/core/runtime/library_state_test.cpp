// cy_core_init / close / get_config / set_config: codes, the configuration
// record's life, and what reaches the log file.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "runtime/library_fixture.h"

namespace calyra::core::testing {
namespace {

bool same_bytes(const cy_core_config& a, const cy_core_config& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::filesystem::path& dir)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDirectory() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

using CoreLifecycle = LibraryTest;

TEST_F(CoreLifecycle, ReportsStateErrorsWithTheirCodes) {
  cy_core_config out;
  std::memset(&out, 0xAB, sizeof out);
  const cy_core_config untouched = out;
  EXPECT_EQ(cy_core_get_config(&out), CY_NOT_INITIALIZED);
  EXPECT_TRUE(same_bytes(out, untouched));

  cy_core_config changed = default_config();
  changed.chunk_size = 99;
  EXPECT_EQ(cy_core_set_config(&changed), CY_NOT_INITIALIZED);
  EXPECT_EQ(current_config().chunk_size, 25u) << "a refused set_config must not change the record";

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(cy_core_close(), CY_NOT_INITIALIZED);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Core not initialized. Please initialize core and try again.\n");

  ASSERT_EQ(cy_core_init(), CY_OK);
  EXPECT_TRUE(is_initialized());
  EXPECT_EQ(cy_core_init(), CY_PRECONDITION_FAILED);
  EXPECT_TRUE(is_initialized());
  EXPECT_EQ(cy_core_get_config(nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_core_set_config(nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_core_close(), CY_OK);
  EXPECT_FALSE(is_initialized());
}

TEST_F(CoreLifecycle, DefaultsLogNothingAndCreateNoFile) {
  CurrentDirectory in_temp(dir_);
  ASSERT_EQ(cy_core_init(), CY_OK);
  cy_core_config config;
  ASSERT_EQ(cy_core_get_config(&config), CY_OK);
  EXPECT_EQ(config.log_buffer_size, 512u);
  EXPECT_STREQ(config.log_path, "cycore.log");
  EXPECT_EQ(config.log_level, CY_LOG_LEVEL_INFO);
  EXPECT_FALSE(config.append_logs);
  EXPECT_TRUE(config.timestamps_enabled);
  EXPECT_FALSE(config.autoflush);
  EXPECT_TRUE(config.thread_ids_enabled);
  EXPECT_EQ(config.chunk_size, 25u);
  EXPECT_FALSE(config.logging_enabled);
  EXPECT_STREQ(config.update_path, "../updates/firmware_KESTREL.bin");
  EXPECT_EQ(config.adapter_index, 0);
  ASSERT_EQ(cy_core_close(), CY_OK);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "cycore.log"));
}

TEST_F(CoreLifecycle, ConfigurationRoundTripsAndSurvivesClose) {
  ASSERT_EQ(cy_core_init(), CY_OK);
  cy_core_config wanted = logging_config(true, true);
  wanted.log_buffer_size = 4096;
  wanted.log_level = CY_LOG_LEVEL_ERROR;
  wanted.append_logs = true;
  wanted.autoflush = true;
  wanted.chunk_size = 1000;
  std::snprintf(wanted.update_path, sizeof wanted.update_path, "%s", "/opt/fw/image.bin");
  wanted.adapter_index = 3;
  ASSERT_EQ(cy_core_set_config(&wanted), CY_OK);

  cy_core_config got;
  std::memset(&got, 0, sizeof got);
  ASSERT_EQ(cy_core_get_config(&got), CY_OK);
  EXPECT_TRUE(same_bytes(got, wanted));

  ASSERT_EQ(cy_core_close(), CY_OK);
  ASSERT_EQ(cy_core_init(), CY_OK);
  std::memset(&got, 0, sizeof got);
  ASSERT_EQ(cy_core_get_config(&got), CY_OK);
  EXPECT_TRUE(same_bytes(got, wanted)) << "the record must survive close and init";
}

TEST_F(CoreLifecycle, StdoutDiagnosticsSwitchWorksBeforeInitAndSurvivesInitAndClose) {
  EXPECT_TRUE(console::enabled());
  EXPECT_EQ(cy_core_set_stdout_diagnostics(false), CY_OK);
  ASSERT_EQ(cy_core_init(), CY_OK);
  EXPECT_FALSE(console::enabled());
  ASSERT_EQ(cy_core_close(), CY_OK);
  EXPECT_FALSE(console::enabled());
  EXPECT_EQ(cy_core_set_stdout_diagnostics(true), CY_OK);
  EXPECT_TRUE(console::enabled());
}

TEST_F(CoreLifecycle, PathsFillingTheWholeFieldAreTerminated) {
  ASSERT_EQ(cy_core_init(), CY_OK);
  cy_core_config config = default_config();
  std::memset(config.update_path, 'u', sizeof config.update_path);
  std::memset(config.log_path, 'l', sizeof config.log_path);
  ASSERT_EQ(cy_core_set_config(&config), CY_OK);
  EXPECT_EQ(std::strlen(current_config().update_path), 199u);
  EXPECT_EQ(std::strlen(current_config().log_path), 199u);
}

TEST_F(CoreLifecycle, InitAndSetConfigWriteTheReportAndCloseSaysGoodbye) {
  cy_core_config config = logging_config();
  config.chunk_size = 40;
  config.log_buffer_size = 0;
  ASSERT_EQ(setenv("CYCORE_BLE_BACKEND", "none", 1), 0);
  init_with(config);
  unsetenv("CYCORE_BLE_BACKEND");
  ASSERT_EQ(cy_core_close(), CY_OK);

  std::vector<std::string> expected = report_lines(config, 0, "INFO");
  expected.push_back("[INFO] BLE backend: none (CYCORE_BLE_BACKEND)");
  expected.push_back("[INFO] Calyra Core is closing");
  EXPECT_EQ(log_lines(), expected);
}

TEST_F(CoreLifecycle, ReportShowsTheBufferActuallyAttached) {
  cy_core_config config = logging_config();
  config.log_buffer_size = UINT64_MAX;  // cannot be allocated: unbuffered instead
  init_with(config);
  ASSERT_EQ(cy_core_close(), CY_OK);
  EXPECT_EQ(log_lines().at(7), "[INFO] CONFIG: log_buffer_size: 0");
}

TEST_F(CoreLifecycle, LevelFiltersLinesWithoutFormattingThem) {
  cy_core_config config = logging_config();
  config.log_level = CY_LOG_LEVEL_WARNING;
  init_with(config);
  int formatted = 0;
  logger::log(log_level::INFO, [&](std::ostream&) { ++formatted; });
  logger::log_text(log_level::WARNING, "warning line");
  logger::log_text(log_level::ERROR, "error line");
  EXPECT_EQ(formatted, 0);

  config.log_level = 5;  // above every level: nothing at all
  config.append_logs = true;
  ASSERT_EQ(cy_core_set_config(&config), CY_OK);
  logger::log(log_level::ERROR, [&](std::ostream&) { ++formatted; });
  ASSERT_EQ(cy_core_close(), CY_OK);
  EXPECT_EQ(formatted, 0);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"[WARNING] warning line", "[ERROR] error line"}));
}

TEST_F(CoreLifecycle, ReopeningAfterCloseFollowsTheAppendSetting) {
  cy_core_config config = logging_config();
  config.append_logs = true;
  init_with(config);
  logger::log_text(log_level::ERROR, "first session");
  ASSERT_EQ(cy_core_close(), CY_OK);
  logger::log_text(log_level::ERROR, "while closed");
  ASSERT_EQ(cy_core_init(), CY_OK);  // reopens the file named in the surviving record
  logger::log_text(log_level::ERROR, "second session");
  ASSERT_EQ(cy_core_close(), CY_OK);
  auto lines = log_lines();
  EXPECT_TRUE(contains(lines, "[ERROR] first session"));
  EXPECT_TRUE(contains(lines, "[ERROR] second session"));
  EXPECT_FALSE(contains(lines, "[ERROR] while closed"));

  config.append_logs = false;
  init_with(config);
  ASSERT_EQ(cy_core_close(), CY_OK);
  EXPECT_FALSE(contains(log_lines(), "[ERROR] first session"));
}

TEST_F(CoreLifecycle, SetConfigWithoutAppendKeepsOnlyLaterLines) {
  cy_core_config config = logging_config();
  init_with(config);
  logger::log_text(log_level::ERROR, "before first set");
  ASSERT_EQ(cy_core_set_config(&config), CY_OK);
  logger::log_text(log_level::ERROR, "before second set");
  ASSERT_EQ(cy_core_set_config(&config), CY_OK);
  logger::log_text(log_level::ERROR, "after second set");
  ASSERT_EQ(cy_core_close(), CY_OK);

  std::vector<std::string> expected = report_lines(config, 512, "INFO");
  expected.push_back("[ERROR] after second set");
  expected.push_back("[INFO] Calyra Core is closing");
  EXPECT_EQ(log_lines(), expected);
}

TEST_F(CoreLifecycle, DisablingLoggingStopsIt) {
  init_with(logging_config());
  logger::log_text(log_level::ERROR, "while enabled");
  cy_core_config off = logging_config();
  off.logging_enabled = false;
  ASSERT_EQ(cy_core_set_config(&off), CY_OK);
  int formatted = 0;
  logger::log(log_level::ERROR, [&](std::ostream& out) {
    ++formatted;
    out << "after disabling";
  });
  // The file is complete as soon as logging stops, before close.
  const auto lines = log_lines();
  ASSERT_EQ(cy_core_close(), CY_OK);
  EXPECT_EQ(formatted, 0);
  EXPECT_TRUE(contains(lines, "[ERROR] while enabled"));
  EXPECT_EQ(log_lines(), lines) << "nothing, not even the closing line, follows";
}

TEST_F(CoreLifecycle, BufferedLinesReachTheFileOnAutoflushOrClose) {
  cy_core_config config = logging_config();
  config.log_buffer_size = 1 << 16;
  init_with(config);
  logger::log_text(log_level::ERROR, "buffered");
  EXPECT_TRUE(log_lines().empty()) << "a 64 KiB buffer holds the report without writing";

  config.autoflush = true;
  ASSERT_EQ(cy_core_set_config(&config), CY_OK);
  logger::log_text(log_level::ERROR, "flushed");
  EXPECT_TRUE(contains(log_lines(), "[ERROR] flushed"));

  config.autoflush = false;
  config.append_logs = true;
  ASSERT_EQ(cy_core_set_config(&config), CY_OK);
  logger::log_text(log_level::ERROR, "flushed by close");
  ASSERT_EQ(cy_core_close(), CY_OK);
  EXPECT_TRUE(contains(log_lines(), "[ERROR] flushed by close"));
}

}  // namespace
}  // namespace calyra::core::testing
