#include "stream/manager_clock.h"

#include <cmath>
#include <cstdio>

namespace calyra::stream {

std::optional<std::int64_t> manager_clock::host_time_of(double sample) const {
  std::int64_t t = 0;
  if (manager_ == nullptr) return std::nullopt;
  if (cy_eeg_manager_time_of_sample(manager_, sample - static_cast<double>(first_sample_), &t) != CY_OK) {
    return std::nullopt;
  }
  return t;
}

std::optional<double> manager_clock::sample_at(std::int64_t host_time_ns) const {
  double at = 0.0;
  if (manager_ == nullptr || cy_eeg_manager_sample_at(manager_, host_time_ns, &at) != CY_OK) return std::nullopt;
  return at + static_cast<double>(first_sample_);
}

bool manager_clock::host_times_of(std::int64_t first, std::size_t count, std::int64_t* out) const {
  if (manager_ == nullptr) return false;
  const std::int64_t local = first - first_sample_;
  if (local >= 0 && cy_eeg_manager_published_times(manager_, local, count, out) == CY_OK) return true;
  // The filler of an outage lies before the new stream's first sample,
  // where it has no published track: those rows take the line's times.
  return sample_clock::host_times_of(first, count, out);
}

cy_clock_info manager_clock::info() const {
  cy_clock_info info{};
  if (manager_ == nullptr) return info;
  if (cy_eeg_manager_get_clock_info(manager_, &info) != CY_OK) info = cy_clock_info{};
  return info;
}

std::string clock_summary(const cy_clock_info& info) {
  if (info.state == CY_CLOCK_UNKNOWN) return "not known (it takes about a second of stream)";
  char text[96];
  // Whole ppm say what matters for a crystal; below 10 a decimal helps.
  const int decimals = std::fabs(info.drift_ppm) < 9.95 ? 1 : 0;
  std::snprintf(text, sizeof text, "%+.*f ppm, jitter p99 %.1f ms", decimals, info.drift_ppm, info.jitter_ms);
  return text;
}

recording::clock_description describe_clock(const cy_clock_info& info) {
  recording::clock_description d;
  switch (info.state) {
    case CY_CLOCK_SETTLING: d.state = "settling"; break;
    case CY_CLOCK_TRACKING: d.state = "tracking"; break;
    default: d.state = "unknown"; break;
  }
  d.drift_ppm = info.drift_ppm;
  d.rate_hz = info.rate_hz;
  d.jitter_ms = info.jitter_ms;
  d.fitted_seconds = info.span_s;
  d.packets_fitted = info.packets_fitted;
  return d;
}

}  // namespace calyra::stream
