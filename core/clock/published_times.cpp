#include "clock/published_times.h"

#include <algorithm>

namespace calyra::core::clock {

published_times::published_times() : ring_(kept_segments) {}

void published_times::reset() {
  head_ = 0;
  count_ = 0;
}

void published_times::extend(std::int64_t first_sample, std::int64_t last_sample, const clock_line& line) {
  if (count_ == 0) {
    origin_ns_ = line.time_ref_ns;
    end_sample_ = first_sample;
    end_time_ns_ = line.time_of(static_cast<double>(first_sample)) - static_cast<double>(origin_ns_);
    ring_[head_] = segment{end_sample_, end_time_ns_, line.ns_per_sample};
    count_ = 1;
  }
  if (last_sample <= end_sample_) return;
  // How far the track's end is from the line (+: later), and the slope that
  // would close that gap at the segment's end, kept within the slew limit.
  const auto samples = static_cast<double>(last_sample - end_sample_);
  const double ahead =
      end_time_ns_ + static_cast<double>(origin_ns_) - line.time_of(static_cast<double>(end_sample_));
  const double limit = max_slew * line.ns_per_sample;
  const double slope = line.ns_per_sample + std::clamp(-ahead / samples, -limit, limit);
  const segment next{end_sample_, end_time_ns_, slope};
  if (count_ == ring_.size()) {
    head_ = (head_ + 1) % ring_.size();
    --count_;
  }
  // The newest segment is replaced when it began at the same sample (the
  // first one, before any step was taken from it).
  segment& newest = ring_[(head_ + count_ - 1) % ring_.size()];
  if (newest.sample == next.sample) {
    newest = next;
  } else {
    ring_[(head_ + count_) % ring_.size()] = next;
    ++count_;
  }
  end_time_ns_ += slope * samples;
  end_sample_ = last_sample;
}

double published_times::time_of(std::int64_t sample) const {
  // The last segment that begins at or before the sample (the first one for earlier samples).
  std::size_t low = 0, high = count_;
  while (high - low > 1) {
    const std::size_t mid = (low + high) / 2;
    if (at(mid).sample <= sample) {
      low = mid;
    } else {
      high = mid;
    }
  }
  const segment& s = at(low);
  return static_cast<double>(origin_ns_) + s.time_ns + s.ns_per_sample * static_cast<double>(sample - s.sample);
}

}  // namespace calyra::core::clock
