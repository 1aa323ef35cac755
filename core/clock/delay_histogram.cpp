#include "clock/delay_histogram.h"

#include <algorithm>
#include <cmath>

namespace calyra::core::clock {

void delay_histogram::reset() {
  for (auto& half : counts_) half.fill(0);
  totals_ = {};
  current_ = 0;
  started_ = false;
}

void delay_histogram::add(double delay_ns, std::int64_t arrival_ns) {
  if (!started_) {
    started_ = true;
    turn_start_ns_ = arrival_ns;
  } else if (arrival_ns - turn_start_ns_ >= turn_ns) {
    current_ ^= 1u;
    counts_[current_].fill(0);
    totals_[current_] = 0;
    turn_start_ns_ = arrival_ns;
  }
  // A point a little below the line (before the next fit lowers it) counts as 0.
  const double index = std::floor(std::max(0.0, delay_ns) / bucket_ns);
  const std::size_t bucket = index >= static_cast<double>(buckets - 1) ? buckets - 1 : static_cast<std::size_t>(index);
  ++counts_[current_][bucket];
  ++totals_[current_];
}

double delay_histogram::quantile_ms(double fraction) const {
  const std::uint64_t total = totals_[0] + totals_[1];
  if (total == 0) return 0.0;
  const double wanted = std::clamp(fraction, 0.0, 1.0) * static_cast<double>(total);
  std::uint64_t seen = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    seen += counts_[0][b] + counts_[1][b];
    if (static_cast<double>(seen) >= wanted) return static_cast<double>(b + 1) * bucket_ns / 1e6;
  }
  return static_cast<double>(buckets) * bucket_ns / 1e6;
}

}  // namespace calyra::core::clock
