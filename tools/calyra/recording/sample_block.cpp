#include "recording/sample_block.h"

namespace calyra::recording {

void sample_block::append(const sample_block& other, std::size_t first, std::size_t count) {
  const auto from = static_cast<std::ptrdiff_t>(first);
  const auto to = static_cast<std::ptrdiff_t>(first + count);
  // Rows with times after rows without (or the other way round): the
  // column is filled so that it stays one entry per row.
  if (!other.host_times.empty() || !host_times.empty()) {
    host_times.resize(sample_numbers.size(), unknown_host_time);
    if (other.host_times.empty()) {
      host_times.insert(host_times.end(), count, unknown_host_time);
    } else {
      host_times.insert(host_times.end(), other.host_times.begin() + from, other.host_times.begin() + to);
    }
  }
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
