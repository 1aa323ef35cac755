// A manager's annotations: host texts with the sample number they were
// placed on, in call order. The host may annotate, read and clear from any
// thread while a disconnect on another clears them.
//
// The records live in a deque (appending never moves one); a reader
// receives a contiguous mirror of a prefix of it, which each read extends,
// so that an array handed out stays valid until the next read or clear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "cycore/annotations.h"

namespace calyra::core {

class annotation_store {
 public:
  // Appends one record (text copied). Nothing is stored when an allocation
  // fails, which propagates.
  void append(std::int64_t sample_number, const char* text);
  // Every record so far: *out points to them (null when there is none),
  // valid until the next read or clear; either pointer may be null.
  void read(cy_annotation** out, std::size_t* count) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::deque<cy_annotation> records_;
  // Owner of each record's text, at the same position as the record.
  std::deque<std::unique_ptr<char[]>> texts_;
  mutable std::vector<cy_annotation> mirror_;
};

}  // namespace calyra::core
