// Annotations typed into the page, waiting for the stream loop, which
// places them exactly as it places lines typed on standard input.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace calyra::view {

class annotation_inbox {
 public:
  explicit annotation_inbox(std::size_t capacity) : capacity_(capacity) {}

  // False when the inbox is full (the stream loop is not taking them).
  bool post(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (texts_.size() >= capacity_) return false;
    texts_.push_back(std::move(text));
    return true;
  }

  // Appends what waits to `out`, oldest first.
  void take(std::vector<std::string>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::string& t : texts_) out.push_back(std::move(t));
    texts_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
  std::size_t capacity_;
};

// Why `text` cannot be an annotation ("" when it can): empty, longer than
// max_annotation_bytes, not UTF-8, or holding control characters.
inline constexpr std::size_t max_annotation_bytes = 500;
std::string annotation_problem(const std::string& text);

}  // namespace calyra::view
