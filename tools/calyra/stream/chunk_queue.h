// Hands chunks from the BLE thread (the chunk callback) to the main thread,
// which writes files and draws the display.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "recording/sample_block.h"

namespace calyra::stream {

class chunk_queue {
 public:
  explicit chunk_queue(std::size_t capacity) : capacity_(capacity) {}

  // Producer side. Waits while the queue is full, so that a headset that
  // delivers faster than the files can be written slows down instead of
  // filling memory. After stop_waiting() it never waits: the stop and
  // disconnect calls deliver their last chunk on the main thread itself,
  // and a full queue must not deadlock them.
  void push(recording::sample_block&& block);

  // Consumer side: takes every queued chunk, waiting up to `timeout` for the
  // first one. Returns false when nothing arrived.
  bool pop_all(std::deque<recording::sample_block>& out, std::chrono::milliseconds timeout);

  void stop_waiting();

 private:
  std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::deque<recording::sample_block> blocks_;
  std::size_t capacity_;
  bool waiting_allowed_ = true;
};

}  // namespace calyra::stream
