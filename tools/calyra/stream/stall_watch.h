// Watches a stream for delivering nothing decodable: no notification at
// all, or notifications that cannot be decoded, both leave the recording
// without a new decoded sample.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "stream/recording_pipeline.h"

namespace calyra::stream {

class stall_watch {
 public:
  using clock = std::chrono::steady_clock;

  // `timeout_seconds` 0: never gives up.
  explicit stall_watch(double timeout_seconds, clock::time_point start = clock::now());

  // Empty while the stream delivers, else what was seen, for the error line.
  std::string check(const recording_pipeline& pipeline, unsigned rate_hz, clock::time_point now = clock::now());

 private:
  clock::duration timeout_;
  clock::time_point last_;
  std::uint64_t decoded_ = 0;
  std::uint64_t rows_at_last_ = 0;  // rows of the stream when the last decoded sample came
};

}  // namespace calyra::stream
