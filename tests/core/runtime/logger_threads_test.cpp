// Lines written from many threads at once stay whole and carry their thread.
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

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

// A handler removed while other threads write is not called once the removal
// returns: the host may free what it points to right then.
TEST_F(LogLine, ARemovedHandlerIsNotCalledAfterTheRemovalReturns) {
  struct target {
    std::atomic<bool> freed{false};
    std::atomic<int> calls{0};
    std::atomic<int> calls_after_free{0};
  };
  const auto handler = [](cy_log_level, std::uint64_t, const char*, void* user_data) {
    auto* t = static_cast<target*>(user_data);
    ++t->calls;
    if (t->freed.load()) ++t->calls_after_free;
  };
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&stop] {
      while (!stop.load()) logger::log_text(log_level::WARNING, "a line from a writer");
    });
  }
  int total = 0;
  for (int round = 0; round < 200; ++round) {
    target t;
    ASSERT_EQ(cy_core_set_log_handler(handler, CY_LOG_LEVEL_INFO, &t), CY_OK);
    while (t.calls.load() == 0) std::this_thread::yield();
    ASSERT_EQ(cy_core_set_log_handler(nullptr, CY_LOG_LEVEL_INFO, nullptr), CY_OK);
    t.freed = true;
    std::this_thread::yield();
    EXPECT_EQ(t.calls_after_free.load(), 0);
    total += t.calls.load();
  }
  stop = true;
  for (auto& w : writers) w.join();
  EXPECT_GE(total, 200);
}

}  // namespace
}  // namespace calyra::core::testing
