// Annotations typed into the page, waiting for the stream loop, which
// places them like lines typed on standard input and reports back how it
// went. A request the loop has not taken in time is withdrawn and refused:
// it is either placed (and its client told so) or refused, never stored
// after its client was told it failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace calyra::view {

struct annotation_request {
  std::string text;
  std::int64_t arrival_ns = 0;  // CLOCK_MONOTONIC when its request arrived
};

struct annotation_outcome {
  bool stored = false;
  std::string message;  // the line the stream loop showed ("annotation ... at sample ...")
};

class annotation_inbox {
 public:
  using ticket = std::uint64_t;  // 0: none
  using reply = std::function<void(const annotation_outcome&)>;

  explicit annotation_inbox(std::size_t capacity) : capacity_(capacity) {}

  // Queues `request`; `done` is called once with its outcome, on the stream
  // loop's thread. Returns 0 when the inbox is full (the loop is not taking
  // them); `done` is then never called.
  ticket post(annotation_request request, reply done);
  // Takes back a request the loop has not taken yet: true if it was still
  // waiting (its `done` is then never called), false if it is being placed
  // or was placed (its `done` is or was called).
  bool withdraw(ticket t);

  // The stream loop: places every waiting request, oldest first, with
  // `place`, and reports each outcome to its poster.
  void place_all(const std::function<annotation_outcome(const annotation_request&)>& place);

 private:
  struct entry {
    ticket id;
    annotation_request request;
    reply done;
  };
  std::mutex mutex_;
  std::vector<entry> waiting_;
  std::size_t capacity_;
  ticket next_ = 1;
};

// Why `text` cannot be an annotation ("" when it can): empty, longer than
// max_annotation_bytes, not UTF-8, or holding control characters.
inline constexpr std::size_t max_annotation_bytes = 500;
std::string annotation_problem(const std::string& text);

}  // namespace calyra::view
