// The counts of cy_eeg_manager_get_stream_stats. The decoder adds one
// notification's counts in a single step under the counter's own lock, a
// leaf that no callback runs under, so a host may read them from any thread,
// also from inside a chunk callback that the decoder is calling.
#pragma once

#include <cstdint>
#include <mutex>

#include "cycore/stream_stats.h"

namespace calyra::core {

class stream_stats_counter {
 public:
  // One decoded notification, with the gap before it that was filled.
  void count_packet(std::uint64_t missed_packets, std::uint64_t filled_samples) {
    std::lock_guard lock(mutex_);
    ++counts_.packets_received;
    counts_.missed_packets += missed_packets;
    counts_.filled_samples += filled_samples;
  }
  void count_undecodable() {
    std::lock_guard lock(mutex_);
    ++counts_.packets_received;
    ++counts_.undecodable_payloads;
  }
  void reset() {
    std::lock_guard lock(mutex_);
    counts_ = {};
  }
  cy_stream_stats snapshot() const {
    std::lock_guard lock(mutex_);
    return counts_;
  }

 private:
  mutable std::mutex mutex_;
  cy_stream_stats counts_{};
};

}  // namespace calyra::core
