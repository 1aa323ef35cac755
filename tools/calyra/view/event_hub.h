// The events the view has published, kept in a bounded ring that every
// open event stream reads at its own pace. Publishing never waits for a
// reader: a reader that falls behind the ring skips what was overwritten.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace calyra::view {

class event_hub {
 public:
  explicit event_hub(std::size_t capacity) : capacity_(capacity) {}

  // `message` is a complete server-sent event.
  void publish(std::string message);
  // Wakes every reader; later reads return what is left, then closed.
  void close();

  struct batch {
    std::string text;            // the events, concatenated
    std::uint64_t cursor = 0;    // pass to the next read
    std::uint64_t skipped = 0;   // events overwritten before this reader saw them
    bool closed = false;         // closed and nothing left
  };
  // Cursor for a new reader: it gets the ring's whole history first.
  std::uint64_t start_cursor() const;
  // The events after `cursor`, waiting up to `timeout` for one.
  batch read(std::uint64_t cursor, std::chrono::milliseconds timeout);

  std::uint64_t published() const;
  bool closed() const;

 private:
  struct event {
    std::uint64_t sequence;
    std::string message;
  };
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<event> ring_;
  std::size_t capacity_;
  std::uint64_t next_sequence_ = 1;
  bool closed_ = false;
};

}  // namespace calyra::view
