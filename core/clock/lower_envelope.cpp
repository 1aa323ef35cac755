#include "clock/lower_envelope.h"

#include <algorithm>

namespace calyra::core::clock {

void lower_envelope::reset(const settings& s) {
  settings_ = s;
  settings_.bin_samples = std::max<std::int64_t>(1, s.bin_samples);
  const auto bins = static_cast<std::size_t>(settings_.window_samples / settings_.bin_samples) + 2;
  ring_.assign(bins, bin_point{});
  u_.assign(bins + 1, 0.0);
  v_.assign(bins + 1, 0.0);
  hull_.assign(bins + 1, 0);
  head_ = 0;
  count_ = 0;
  packets_in_ring_ = 0;
  has_open_ = false;
}

void lower_envelope::push_open() {
  if (count_ == ring_.size()) {  // cannot happen with the window's sizing; keep the newest
    packets_in_ring_ -= ring_[head_].packets;
    head_ = (head_ + 1) % ring_.size();
    --count_;
  }
  ring_[(head_ + count_) % ring_.size()] = open_;
  ++count_;
  packets_in_ring_ += open_.packets;
}

void lower_envelope::drop_old(std::int64_t newest_sample) {
  while (count_ > 0 && newest_sample - ring_[head_].sample > settings_.window_samples) {
    packets_in_ring_ -= ring_[head_].packets;
    head_ = (head_ + 1) % ring_.size();
    --count_;
  }
}

bool lower_envelope::add(std::int64_t sample, std::int64_t time_ns, double selection_ns_per_sample) {
  const std::int64_t bin = sample / settings_.bin_samples;
  // Height above a line of the selection slope through the origin; only
  // differences within one bin matter, so the origin is irrelevant.
  const double height = static_cast<double>(time_ns) - selection_ns_per_sample * static_cast<double>(sample);
  if (has_open_ && bin == open_.bin) {
    ++open_.packets;
    if (height < open_height_) {
      open_.sample = sample;
      open_.time_ns = time_ns;
      open_height_ = height;
    }
    return false;
  }
  const bool closed = has_open_;
  if (has_open_) push_open();
  open_ = bin_point{bin, sample, time_ns, 1};
  open_height_ = height;
  has_open_ = true;
  drop_old(sample);
  return closed;
}

std::int64_t lower_envelope::span_samples() const {
  if (!has_open_) return 0;
  return count_ == 0 ? 0 : open_.sample - ring_at(0).sample;
}

std::optional<clock_line> lower_envelope::fit() {
  if (!has_open_) return std::nullopt;
  const std::size_t n = count_ + 1;
  const bin_point& first = count_ > 0 ? ring_at(0) : open_;
  const double nominal = settings_.nominal_ns_per_sample;
  // Coordinates relative to the first point, heights relative to the nominal
  // slope: both stay small, so the hull's cross products keep their precision.
  double mean_u = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const bin_point& p = i < count_ ? ring_at(i) : open_;
    u_[i] = static_cast<double>(p.sample - first.sample);
    v_[i] = static_cast<double>(p.time_ns - first.time_ns) - nominal * u_[i];
    mean_u += u_[i];
  }
  mean_u /= static_cast<double>(n);

  // Lower hull, left to right (samples increase strictly).
  std::size_t h = 0;
  for (std::size_t i = 0; i < n; ++i) {
    while (h >= 2) {
      const std::size_t a = hull_[h - 2];
      const std::size_t b = hull_[h - 1];
      const double cross = (u_[b] - u_[a]) * (v_[i] - v_[a]) - (v_[b] - v_[a]) * (u_[i] - u_[a]);
      if (cross > 0.0) break;
      --h;
    }
    hull_[h++] = i;
  }

  // The hull edge above the mean sample number.
  std::size_t vertex = hull_[0];
  double slope = 0.0;  // relative to nominal, ns per sample
  if (h >= 2) {
    std::size_t k = 0;
    while (k + 2 < h && u_[hull_[k + 1]] < mean_u) ++k;
    vertex = hull_[k];
    slope = (v_[hull_[k + 1]] - v_[vertex]) / (u_[hull_[k + 1]] - u_[vertex]);
  }
  // A slope outside what any headset crystal does only comes from too few
  // points; clamp it and take the hull vertex that supports that slope.
  const double limit = settings_.max_slope_error * nominal;
  if (slope > limit || slope < -limit) {
    slope = std::clamp(slope, -limit, limit);
    double lowest = v_[hull_[0]] - slope * u_[hull_[0]];
    vertex = hull_[0];
    for (std::size_t k = 1; k < h; ++k) {
      const double height = v_[hull_[k]] - slope * u_[hull_[k]];
      if (height < lowest) {
        lowest = height;
        vertex = hull_[k];
      }
    }
  }
  const bin_point& ref = vertex < count_ ? ring_at(vertex) : open_;
  return clock_line{ref.sample, ref.time_ns, nominal + slope};
}

std::optional<clock_line> lower_envelope::fit_with_slope(double ns_per_sample) const {
  if (!has_open_) return std::nullopt;
  const bin_point* lowest = &open_;
  double lowest_height = 0.0;
  const std::size_t n = count_ + 1;
  for (std::size_t i = 0; i < n; ++i) {
    const bin_point& p = i < count_ ? ring_at(i) : open_;
    const double height =
        static_cast<double>(p.time_ns - open_.time_ns) - ns_per_sample * static_cast<double>(p.sample - open_.sample);
    if (height < lowest_height) {
      lowest_height = height;
      lowest = &p;
    }
  }
  return clock_line{lowest->sample, lowest->time_ns, ns_per_sample};
}

std::optional<clock_line> lower_envelope::fit_by_group_minima(std::int64_t group_samples,
                                                             double selection_ns_per_sample,
                                                             double prior_ns_per_sample) {
  if (!has_open_) return std::nullopt;
  const std::size_t n = count_ + 1;
  const bin_point& first = count_ > 0 ? ring_at(0) : open_;
  const double nominal = settings_.nominal_ns_per_sample;
  const double selection = selection_ns_per_sample - nominal;
  // Lowest point of each group, in coordinates relative to the first point
  // and the nominal slope (as fit()).
  std::size_t groups = 0;
  std::int64_t group = -1;
  for (std::size_t i = 0; i < n; ++i) {
    const bin_point& p = i < count_ ? ring_at(i) : open_;
    const double u = static_cast<double>(p.sample - first.sample);
    const double v = static_cast<double>(p.time_ns - first.time_ns) - nominal * u;
    const std::int64_t g = (p.sample - first.sample) / group_samples;
    if (g != group) {
      group = g;
      u_[groups] = u;
      v_[groups] = v;
      ++groups;
    } else if (v - selection * u < v_[groups - 1] - selection * u_[groups - 1]) {
      u_[groups - 1] = u;
      v_[groups - 1] = v;
    }
  }
  if (groups < 2) return fit();
  double mean_u = 0.0, mean_v = 0.0;
  for (std::size_t g = 0; g < groups; ++g) {
    mean_u += u_[g];
    mean_v += v_[g];
  }
  mean_u /= static_cast<double>(groups);
  mean_v /= static_cast<double>(groups);
  double suu = 0.0, suv = 0.0;
  for (std::size_t g = 0; g < groups; ++g) {
    suu += (u_[g] - mean_u) * (u_[g] - mean_u);
    suv += (u_[g] - mean_u) * (v_[g] - mean_v);
  }
  if (suu <= 0.0) return fit();
  // The scatter of the minima about their own line, against the prior: a
  // few noisy seconds say little about a slope, and a crystal's is near
  // nominal.
  double ridge = 0.0;
  if (groups > 2 && prior_ns_per_sample > 0.0) {
    const double free_slope = suv / suu;
    double residuals = 0.0;
    for (std::size_t g = 0; g < groups; ++g) {
      const double r = v_[g] - mean_v - free_slope * (u_[g] - mean_u);
      residuals += r * r;
    }
    ridge = residuals / static_cast<double>(groups - 2) / (prior_ns_per_sample * prior_ns_per_sample);
  }
  const double limit = settings_.max_slope_error * nominal;
  const double slope = std::clamp(suv / (suu + ridge), -limit, limit);
  return fit_with_slope(nominal + slope);
}

}  // namespace calyra::core::clock
