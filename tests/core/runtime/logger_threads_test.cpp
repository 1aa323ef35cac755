// Lines written from many threads at once stay whole and carry their thread.
#include <sys/types.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "runtime/library_fixture.h"
#include "runtime/logger.h"

namespace calyra::core::testing {
namespace {

using LogLine = LibraryTest;

TEST_F(LogLine, ConcurrentLinesStayWholeAndNumberTheirThread) {
  cy_core_config config = logging_config(true, true);
  config.log_buffer_size = 64;  // small, so writes hit the file mid-run
  init_with(config);

  constexpr int threads = 4;
  constexpr int lines_per_thread = 500;
  std::vector<std::thread> writers;
  std::vector<pid_t> ids(threads);
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([t, &ids] {
      ids[t] = ::gettid();
      for (int i = 0; i < lines_per_thread; ++i) {
        logger::log(log_level::INFO, [&](std::ostream& out) {
          out << "writer " << t << " line " << i << " with a body long enough to be split";
        });
      }
    });
  }
  for (auto& w : writers) w.join();
  ASSERT_EQ(cy_core_close(), CY_OK);

  const std::regex shape(
      R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[INFO\] \[#(\d+)\] writer (\d) line (\d+) with a body long enough to be split$)");
  std::vector<int> next_line(threads, 0);
  for (const auto& line : log_lines()) {
    std::smatch match;
    if (line.find("writer ") == std::string::npos) continue;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    const int t = std::stoi(match[2]);
    EXPECT_EQ(match[1], std::to_string(ids[t]));
    EXPECT_EQ(std::stoi(match[3]), next_line[t]++) << "lines of one thread keep their order";
  }
  for (int t = 0; t < threads; ++t) EXPECT_EQ(next_line[t], lines_per_thread);
}

}  // namespace
}  // namespace calyra::core::testing
