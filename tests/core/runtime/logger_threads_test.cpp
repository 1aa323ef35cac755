// Lines written from many threads at once stay whole and carry their thread.
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "runtime/library_fixture.h"
#include "runtime/log_line_parser.h"
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

  std::vector<int> next_line(threads, 0);
  for (const auto& line : log_lines()) {
    if (line.find("writer ") == std::string::npos) continue;
    const auto parsed = parse_full_line(line);
    ASSERT_TRUE(parsed) << line;
    EXPECT_EQ(parsed->level, "INFO");
    int t = -1, i = -1, consumed = 0;
    ASSERT_EQ(std::sscanf(parsed->body.c_str(), "writer %d line %d%n", &t, &i, &consumed), 2)
        << line;
    ASSERT_TRUE(t >= 0 && t < threads) << line;
    EXPECT_EQ(parsed->body.substr(static_cast<std::size_t>(consumed)),
              " with a body long enough to be split");
    EXPECT_EQ(parsed->thread, std::to_string(ids[t]));
    EXPECT_EQ(i, next_line[t]++) << "lines of one thread keep their order";
  }
  for (int t = 0; t < threads; ++t) EXPECT_EQ(next_line[t], lines_per_thread);
}

}  // namespace
}  // namespace calyra::core::testing
