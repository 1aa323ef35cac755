// Line reading details that the stub programs cannot drive: buffer
// boundaries and read failures.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "line_reader.h"

namespace calyra::launcher {
namespace {

std::vector<read_item> read_all(line_reader& reader) {
  std::vector<read_item> items;
  while (auto item = reader.next()) items.push_back(std::move(*item));
  return items;
}

TEST(LineReader, SplitsLinesAcrossBufferRefillsAndKeepsTheLastUnendedLine) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  // The carriage return is the last byte of the first 8192-byte read, its
  // newline the first of the next one.
  const std::string long_line(8191, 'a');
  const std::string input = long_line + "\r\n" + "one\r\n\nmid\rdle\nlast\r";
  std::thread writer([&] {
    EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(fds[1]);
  });
  line_reader reader{unique_fd(fds[0])};
  const auto items = read_all(reader);
  writer.join();
  EXPECT_EQ(items, (std::vector<read_item>{long_line, "one", "", "mid\rdle", "last\r"}));
}

TEST(LineReader, PersistentReadFailuresEndTheStreamAfterBeingReported) {
  line_reader reader{unique_fd(::open("/", O_RDONLY | O_DIRECTORY))};
  const auto items = read_all(reader);
  ASSERT_EQ(items.size(), static_cast<std::size_t>(line_reader::max_consecutive_failures));
  EXPECT_EQ(std::get<std::error_code>(items.front()), std::errc::is_a_directory);
}

}  // namespace
}  // namespace calyra::launcher
