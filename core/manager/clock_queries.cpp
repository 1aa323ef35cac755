// The stream clock seen from the host: placing host times on samples and
// back, annotations at a host time, and the clock's state. The estimator
// itself lives in core/clock; these only read its published snapshot.
#include <cmath>
#include <cstdint>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {
namespace {

// Beyond this a double no longer converts to int64.
constexpr double int64_limit = 9.2e18;

constexpr std::string_view clock_unknown_text =
    "The stream clock is not known yet (it is known about 1 s after a stream's first notification)";

cy_clock_state to_code(clock::clock_state state) {
  switch (state) {
    case clock::clock_state::settling: return CY_CLOCK_SETTLING;
    case clock::clock_state::tracking: return CY_CLOCK_TRACKING;
    case clock::clock_state::unknown: break;
  }
  return CY_CLOCK_UNKNOWN;
}

}  // namespace

error eeg_manager_implementation::sample_at(std::int64_t host_time_ns, double* sample_number) const {
  if (sample_number == nullptr) return fail(error::PRECONDITION_FAILED, "Unable to place a time - sample_number is null");
  const clock::clock_snapshot snap = stream_clock_.snapshot();
  if (snap.state == clock::clock_state::unknown) return fail(error::NOT_STREAMING, clock_unknown_text);
  *sample_number = snap.line.sample_at(host_time_ns);
  return error::OK;
}

error eeg_manager_implementation::time_of_sample(double sample_number, std::int64_t* host_time_ns) const {
  if (host_time_ns == nullptr) return fail(error::PRECONDITION_FAILED, "Unable to time a sample - host_time_ns is null");
  if (!std::isfinite(sample_number)) {
    return fail(error::PRECONDITION_FAILED, "Unable to time a sample - the sample number is not finite");
  }
  const clock::clock_snapshot snap = stream_clock_.snapshot();
  if (snap.state == clock::clock_state::unknown) return fail(error::NOT_STREAMING, clock_unknown_text);
  const double t = std::round(snap.line.time_of(sample_number));
  if (!(std::fabs(t) < int64_limit)) {
    return fail(error::PRECONDITION_FAILED, "Unable to time a sample - its time is outside 64-bit nanoseconds");
  }
  *host_time_ns = static_cast<std::int64_t>(t);
  return error::OK;
}

error eeg_manager_implementation::published_times(std::int64_t first_sample, std::size_t count,
                                                  std::int64_t* host_times_ns) const {
  if (count == 0) return error::OK;
  if (host_times_ns == nullptr || count > static_cast<std::size_t>(INT64_MAX) ||
      first_sample > INT64_MAX - static_cast<std::int64_t>(count - 1)) {
    return error::PRECONDITION_FAILED;
  }
  return stream_clock_.published_times_of(first_sample, count, host_times_ns) ? error::OK : error::NOT_STREAMING;
}

error eeg_manager_implementation::annotate_at(const char* text, std::int64_t host_time_ns) {
  if (text == nullptr) return fail(error::PRECONDITION_FAILED, "Unable to annotate - the text is null");
  if (!connected) return fail(error::CONNECTION_ERROR, "Unable to annotate - no connection to device");
  double sample = 0.0;
  const error known = sample_at(host_time_ns, &sample);
  if (known != error::OK) return known;
  // std::round: halves away from zero, as annotate rounds.
  const double nearest = std::round(sample);
  if (!(std::fabs(nearest) < int64_limit)) {
    return fail(error::PRECONDITION_FAILED, "Unable to annotate - the time is outside the stream's sample numbers");
  }
  return store_annotation(static_cast<std::int64_t>(nearest), text);
}

error eeg_manager_implementation::get_clock_info(cy_clock_info* info) const {
  if (info == nullptr) return fail(error::PRECONDITION_FAILED, "Unable to get clock info - info is null");
  const clock::clock_snapshot snap = stream_clock_.snapshot();
  *info = cy_clock_info{};
  if (snap.state == clock::clock_state::unknown) return error::OK;
  info->state = to_code(snap.state);
  info->rate_hz = 1e9 / snap.line.ns_per_sample;
  info->nominal_rate_hz = snap.nominal_rate_hz;
  info->drift_ppm = snap.nominal_rate_hz > 0.0 ? (info->rate_hz / snap.nominal_rate_hz - 1.0) * 1e6 : 0.0;
  info->jitter_ms = snap.jitter_ms;
  info->span_s = snap.span_s;
  info->packets_fitted = snap.packets_fitted;
  return error::OK;
}

}  // namespace calyra::core
