#include "recording/sample_block.h"

namespace calyra::recording {

void sample_block::append(const sample_block& other, std::size_t first, std::size_t count) {
  const auto from = static_cast<std::ptrdiff_t>(first);
  const auto to = static_cast<std::ptrdiff_t>(first + count);
  sample_numbers.insert(sample_numbers.end(), other.sample_numbers.begin() + from,
                        other.sample_numbers.begin() + to);
  streaming.insert(streaming.end(), other.streaming.begin() + from, other.streaming.begin() + to);
  signals.resize(other.signals.size());
  for (std::size_t s = 0; s < other.signals.size(); ++s) {
    signals[s].insert(signals[s].end(), other.signals[s].begin() + from,
                      other.signals[s].begin() + to);
  }
}

}  // namespace calyra::recording
