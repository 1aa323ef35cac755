// The launcher's line reader on a child's output, whatever the child writes
// and however its writes are split: reads end at chosen places (inside a
// "\r\n", right after a '\r', at the 8192-byte buffer boundary). The items
// must be exactly the lines of the input: split at '\n', without a '\r'
// before it, empty lines kept, the last unterminated one as it is.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "line_reader.h"
#include "support/check.h"
#include "support/line_split.h"
#include "support/packet_pipe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // Pieces up to the reader's buffer size, and few enough (with 32 KiB in
  // all) that every one fits the socket's send buffer.
  std::vector<std::string> pieces;
  std::size_t total = 0;
  while (in.remaining_bytes() > 0 && pieces.size() < 64 && total < 32768) {
    const auto length = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::size_t>(1, 16)
                                         : in.ConsumeIntegralInRange<std::size_t>(1, 8192);
    std::string piece = in.ConsumeBytesAsString(length);
    if (piece.empty()) break;
    total += piece.size();
    pieces.push_back(std::move(piece));
  }

  calyra::launcher::line_reader reader{calyra::launcher::unique_fd(calyra::fuzz::packet_stream(pieces))};
  std::vector<std::string> lines;
  while (auto item = reader.next()) {
    FUZZ_CHECK(std::holds_alternative<std::string>(*item));
    lines.push_back(std::get<std::string>(std::move(*item)));
  }
  std::string sent;
  for (const auto& piece : pieces) sent += piece;
  FUZZ_CHECK(lines == calyra::fuzz::split_lines(sent));
  // The end stays the end.
  FUZZ_CHECK(!reader.next().has_value());
  return 0;
}
