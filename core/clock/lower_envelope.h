// The lower envelope of a stream's arrival times over a sliding window of
// sample numbers, and the line fitted under it.
//
// Every notification arrives after the last sample it carries was acquired:
// arrival = acquisition + delay with delay >= 0 (waiting for the connection
// event, radio retries, the host's stack and scheduler). The acquisition
// times of a headset lie on a straight line of sample numbers, so the true
// line runs on or below every point (sample, arrival). Of all lines under
// the points, the one with the least total distance to them (clock-skew
// estimation in network measurement, solved there as a linear programme) is
// the supporting line of the points' lower convex hull at their mean sample
// number: minimising the sum of distances is maximising the line's height at
// the mean, and the highest line under a convex chain at one abscissa is the
// hull edge above it. Bursts, stalls and long delays only lift points above
// the hull and so cannot pull the line; the points that arrived with the
// least delay decide it. A least-squares line, by contrast, sits above the
// truth by the mean delay and follows every burst.
//
// Points are reduced to the lowest of each bin of sample numbers (with the
// current slope estimate, so the pick is the one the fit would make), which
// bounds memory and the cost of a fit by the window length, not the packet
// rate. Nothing allocates after reset().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "clock/clock_line.h"

namespace calyra::core::clock {

class lower_envelope {
 public:
  struct settings {
    std::int64_t bin_samples = 25;       // points of one bin reduce to their lowest
    std::int64_t window_samples = 150000;  // bins older than this behind the newest are dropped
    double nominal_ns_per_sample = 4e6;  // the headset's nominal rate; numerics are relative to it
    double max_slope_error = 0.01;       // the fitted slope stays within this fraction of nominal
  };

  void reset(const settings& s);

  // Adds one point; samples must increase from call to call. Between fits,
  // `selection_ns_per_sample` ranks the points of one bin. Returns true when
  // this point opened a new bin (the previous one is complete).
  bool add(std::int64_t sample, std::int64_t time_ns, double selection_ns_per_sample);

  // The supporting line at the window's mean sample number, its slope kept
  // within max_slope_error of nominal; none before the first point.
  std::optional<clock_line> fit();

  // The early fit: the slope by least squares through the lowest point of
  // each `group_samples` (ranked with `selection_ns_per_sample`), drawn
  // towards nominal as far as a prior spread of `prior_ns_per_sample` (one
  // standard deviation of the slope around nominal) outweighs the scatter
  // of those points (ridge regression), and the line anchored at the point
  // lowest under that slope, so that it runs under every point. Falls back
  // to fit() with fewer than two groups.
  std::optional<clock_line> fit_by_group_minima(std::int64_t group_samples, double selection_ns_per_sample,
                                                double prior_ns_per_sample);

  // The line of slope `ns_per_sample` under every kept point, touching the
  // lowest; none before the first point.
  std::optional<clock_line> fit_with_slope(double ns_per_sample) const;

  // Sample numbers covered by the kept points (newest minus oldest).
  std::int64_t span_samples() const;
  // Packets that went into the kept bins.
  std::uint64_t packets() const { return packets_in_ring_ + (has_open_ ? open_.packets : 0); }

 private:
  struct bin_point {
    std::int64_t bin = 0;
    std::int64_t sample = 0;
    std::int64_t time_ns = 0;
    std::uint32_t packets = 0;
  };
  const bin_point& ring_at(std::size_t i) const { return ring_[(head_ + i) % ring_.size()]; }
  void push_open();
  void drop_old(std::int64_t newest_sample);

  settings settings_{};
  std::vector<bin_point> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::uint64_t packets_in_ring_ = 0;
  bin_point open_{};
  double open_height_ = 0.0;
  bool has_open_ = false;
  // Scratch of fit(), sized at reset.
  std::vector<double> u_;
  std::vector<double> v_;
  std::vector<std::size_t> hull_;
};

}  // namespace calyra::core::clock
