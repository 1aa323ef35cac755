#include "view/event_hub.h"

namespace calyra::view {

void event_hub::publish(std::string message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ring_.push_back({next_sequence_++, std::move(message)});
    while (ring_.size() > capacity_) ring_.pop_front();
  }
  changed_.notify_all();
}

void event_hub::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

std::uint64_t event_hub::start_cursor() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ring_.empty() ? next_sequence_ - 1 : ring_.front().sequence - 1;
}

event_hub::batch event_hub::read(std::uint64_t cursor, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return closed_ || next_sequence_ - 1 > cursor; });
  batch b;
  b.cursor = cursor;
  if (!ring_.empty() && ring_.front().sequence > cursor + 1) {
    b.skipped = ring_.front().sequence - cursor - 1;
    b.cursor = ring_.front().sequence - 1;
  }
  for (const event& e : ring_) {
    if (e.sequence <= b.cursor) continue;
    b.text += e.message;
    b.cursor = e.sequence;
  }
  b.closed = closed_ && b.text.empty();
  return b;
}

std::uint64_t event_hub::published() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return next_sequence_ - 1;
}

bool event_hub::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

}  // namespace calyra::view
