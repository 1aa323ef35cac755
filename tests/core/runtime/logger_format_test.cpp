// The log line format, byte for byte.
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "runtime/library_fixture.h"
#include "runtime/log_line_parser.h"
#include "runtime/logger.h"

namespace calyra::core::testing {
namespace {

using LogLine = LibraryTest;

TEST_F(LogLine, PrefixesFollowTheSwitches) {
  cy_core_config config = logging_config(false, true);
  config.log_level = CY_LOG_LEVEL_VERBOSE;
  init_with(config);
  logger::log_text(log_level::VERBOSE, "tid only");
  config.thread_ids_enabled = false;
  config.append_logs = true;
  ASSERT_EQ(cy_core_set_config(&config), CY_OK);
  logger::log(log_level::DEBUG, [](std::ostream& out) { out << "bare " << 42 << " body"; });
  logger::log_text(static_cast<log_level>(9), "odd level");
  ASSERT_EQ(cy_core_close(), CY_OK);

  const auto lines = log_lines();
  const std::string tid = "[#" + std::to_string(::gettid()) + "] ";
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "[INFO] " + tid + "Calyra Core initialized.");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[VERBOSE] " + tid + "tid only"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[DEBUG] bare 42 body"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[UNKNOWN] odd level"), lines.end());
  EXPECT_EQ(lines.back(), "[INFO] Calyra Core is closing");
}

class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~TimeZone() {
    if (saved_) ::setenv("TZ", saved_->c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

// Seconds since the epoch of a "YYYY-MM-DD HH:MM:SS" text read as local time.
std::time_t parse_local(const std::string& text) {
  std::tm tm{};
  EXPECT_NE(strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm), nullptr) << text;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST_F(LogLine, TimestampIsLocalTimeWithMilliseconds) {
  // A zone far from UTC, so that a UTC timestamp would be caught.
  TimeZone india("<+0530>-05:30");

  init_with(logging_config(true, true));
  const std::time_t before = std::time(nullptr);
  logger::log_text(log_level::WARNING, "stamped");
  const std::time_t after = std::time(nullptr);
  ASSERT_EQ(cy_core_close(), CY_OK);

  const auto lines = log_lines();
  // The report, the backend choice, the stamped line and the farewell.
  ASSERT_EQ(lines.size(), 12u);
  const auto parsed = parse_full_line(lines[10]);
  ASSERT_TRUE(parsed) << lines[10];
  EXPECT_EQ(parsed->level, "WARNING");
  EXPECT_EQ(parsed->body, "stamped");
  EXPECT_EQ(parsed->thread, std::to_string(::gettid()));
  const std::time_t stamped = parse_local(parsed->date_time);
  EXPECT_GE(stamped, before);
  EXPECT_LE(stamped, after);
}

}  // namespace
}  // namespace calyra::core::testing
