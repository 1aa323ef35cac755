// How late notifications arrive after the clock's time of their last sample,
// over the last one to two minutes: the "jitter" a host sees around the
// fitted line. Two fixed histograms take turns, so that old delays are
// forgotten without keeping each one; nothing allocates after construction.
#pragma once

#include <array>
#include <cstdint>

namespace calyra::core::clock {

class delay_histogram {
 public:
  // 50 us resolution up to 200 ms; later ones count in the last bucket.
  static constexpr double bucket_ns = 50e3;
  static constexpr std::size_t buckets = 4000;
  // Each half covers this long of arrivals before the older one is dropped.
  static constexpr std::int64_t turn_ns = 60'000'000'000;

  void reset();
  void add(double delay_ns, std::int64_t arrival_ns);
  // The delay that `fraction` (0..1) of the recorded ones do not exceed, in
  // ms (upper edge of its bucket); 0 when nothing is recorded.
  double quantile_ms(double fraction) const;

 private:
  std::array<std::array<std::uint32_t, buckets>, 2> counts_{};
  std::array<std::uint64_t, 2> totals_{};
  std::size_t current_ = 0;
  std::int64_t turn_start_ns_ = 0;
  bool started_ = false;
};

}  // namespace calyra::core::clock
