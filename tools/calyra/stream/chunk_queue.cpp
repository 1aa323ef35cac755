#include "stream/chunk_queue.h"

namespace calyra::stream {

void chunk_queue::push(recording::sample_block&& block) {
  std::unique_lock lock(mutex_);
  not_full_.wait(lock, [&] { return !waiting_allowed_ || blocks_.size() < capacity_; });
  blocks_.push_back(std::move(block));
  lock.unlock();
  not_empty_.notify_one();
}

bool chunk_queue::pop_all(std::deque<recording::sample_block>& out,
                          std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!not_empty_.wait_for(lock, timeout, [&] { return !blocks_.empty(); })) return false;
  while (!blocks_.empty()) {
    out.push_back(std::move(blocks_.front()));
    blocks_.pop_front();
  }
  lock.unlock();
  not_full_.notify_all();
  return true;
}

void chunk_queue::stop_waiting() {
  {
    std::lock_guard lock(mutex_);
    waiting_allowed_ = false;
  }
  not_full_.notify_all();
}

}  // namespace calyra::stream
