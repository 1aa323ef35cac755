// The code under test reports on std::cout and std::cerr (the MISSED line of
// the decoder, connect failures, the launcher's start-up reports). Millions
// of runs would bury the fuzzer's own output, so both streams are pointed at
// a buffer that drops everything; libFuzzer and the sanitizers write through
// stdio and still appear.
#pragma once

#include <iostream>
#include <streambuf>

namespace calyra::fuzz {

class null_buffer final : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

inline void silence_iostreams() {
  static null_buffer sink;
  std::cout.rdbuf(&sink);
  std::cerr.rdbuf(&sink);
}

}  // namespace calyra::fuzz
