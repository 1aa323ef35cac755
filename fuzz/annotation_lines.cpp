// The annotation lines of `calyra stream`: what a user types on standard
// input while streaming, read by the stream loop without blocking. The
// input arrives in pieces of chosen sizes with a read after each, then ends.
// The lines read must be exactly the non-empty lines of the input: split at
// '\n', without a '\r' before it, the last unterminated one included.
#include <fuzzer/FuzzedDataProvider.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "stream/line_reader.h"
#include "support/check.h"
#include "support/line_split.h"

namespace {

void append(std::vector<std::string>& to, std::vector<std::string> lines) {
  for (auto& line : lines) to.push_back(std::move(line));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  int fds[2];
  FUZZ_CHECK(::pipe2(fds, O_CLOEXEC) == 0);
  // Pieces are far below the pipe's capacity and read after each write, so
  // writing never blocks.
  FUZZ_CHECK(::fcntl(fds[1], F_SETFL, O_NONBLOCK) == 0);

  calyra::stream::line_reader reader(fds[0]);
  std::string sent;
  std::vector<std::string> lines;
  while (in.remaining_bytes() > 0) {
    const std::string piece = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(1, 5000));
    FUZZ_CHECK(::write(fds[1], piece.data(), piece.size()) == static_cast<ssize_t>(piece.size()));
    sent += piece;
    append(lines, reader.read_available(0));
    FUZZ_CHECK(!reader.finished());
  }
  ::close(fds[1]);
  for (int reads = 0; !reader.finished(); ++reads) {
    FUZZ_CHECK(reads < 100);
    append(lines, reader.read_available(0));
  }
  ::close(fds[0]);

  std::vector<std::string> expected;
  for (auto& line : calyra::fuzz::split_lines(sent)) {
    if (!line.empty()) expected.push_back(std::move(line));
  }
  FUZZ_CHECK(lines == expected);
  return 0;
}
