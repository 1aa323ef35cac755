// A stream whose reads end exactly where the fuzzer chose: a local
// SOCK_SEQPACKET socket pair, each piece one packet, so that a reader's
// read() returns one piece at a time (pieces never exceed the reader's
// buffer and are never empty, which would read as the end). The pieces are
// all sent up front and the sending end closed, so nothing blocks.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "support/check.h"

namespace calyra::fuzz {

// Returns the reading end; the caller owns it.
inline int packet_stream(const std::vector<std::string>& pieces) {
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0);
  for (const std::string& piece : pieces) {
    FUZZ_CHECK(!piece.empty());
    FUZZ_CHECK(::send(fds[0], piece.data(), piece.size(), MSG_DONTWAIT) == static_cast<ssize_t>(piece.size()));
  }
  ::close(fds[0]);
  return fds[1];
}

}  // namespace calyra::fuzz
