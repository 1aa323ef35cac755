#include "manager/annotation_store.h"

#include <cstring>

namespace calyra::core {

void annotation_store::append(std::int64_t sample_number, const char* text) {
  const std::size_t length = std::strlen(text);
  auto copy = std::make_unique<char[]>(length + 1);
  std::memcpy(copy.get(), text, length + 1);

  // Both containers grow first, so a failed allocation leaves neither changed.
  std::lock_guard lock(mutex_);
  texts_.emplace_back();
  try {
    records_.push_back(cy_annotation{sample_number, copy.get()});
  } catch (...) {
    texts_.pop_back();
    throw;
  }
  texts_.back() = std::move(copy);
}

void annotation_store::read(cy_annotation** out, std::size_t* count) const {
  std::lock_guard lock(mutex_);
  const std::size_t stored = records_.size();
  mirror_.reserve(stored);
  for (std::size_t i = mirror_.size(); i < stored; ++i) mirror_.push_back(records_[i]);
  if (out != nullptr) *out = mirror_.empty() ? nullptr : mirror_.data();
  if (count != nullptr) *count = stored;
}

void annotation_store::clear() {
  std::lock_guard lock(mutex_);
  mirror_.clear();
  records_.clear();
  texts_.clear();
}

}  // namespace calyra::core
