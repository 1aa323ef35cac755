#include "clock/stream_clock.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace calyra::core::clock {
namespace {

constexpr double fallback_rate_hz = 250.0;

}  // namespace

stream_clock::stream_clock() { restart(0.0); }

void stream_clock::restart(double nominal_rate_hz, std::string_view source) {
  // What the last stream measured of the crystal, unless it measured nothing
  // (then an older measurement still holds).
  if (line_known_ && source_ != 0) {
    carried_ = carried_drift{true, source_, nominal_rate_hz_, line_.ns_per_sample, span_s_, last_arrival_ns_};
  }
  source_ = source.empty() ? 0 : std::max<std::size_t>(1, std::hash<std::string_view>{}(source));
  use_carried_ = false;
  nominal_rate_hz_ = nominal_rate_hz > 0.0 ? nominal_rate_hz : 0.0;
  const double rate = nominal_rate_hz_ > 0.0 ? nominal_rate_hz_ : fallback_rate_hz;
  nominal_ns_per_sample_ = 1e9 / rate;
  lower_envelope::settings s;
  s.bin_samples = std::max<std::int64_t>(1, std::llround(bin_s * rate));
  s.window_samples = std::llround(window_s * rate);
  s.nominal_ns_per_sample = nominal_ns_per_sample_;
  // Real crystals are within 100 ppm; 1 % leaves room for any headset while
  // keeping the first fits, made of a few points, from tilting wildly.
  s.max_slope_error = 0.01;
  envelope_.reset(s);
  delays_.reset();
  started_ = false;
  refused_in_row_ = 0;
  line_known_ = false;
  span_s_ = 0.0;
  std::lock_guard lock(published_mutex_);
  published_ = clock_snapshot{};
  published_.nominal_rate_hz = nominal_rate_hz_;
  track_.reset();
}

void stream_clock::begin(std::uint32_t counter, std::int64_t arrival_ns) {
  started_ = true;
  last_counter_ = counter;
  last_sample_ = counter;
  first_sample_ = counter;
  last_arrival_ns_ = arrival_ns;
  refused_in_row_ = 0;
  use_carried_ = carried_.valid && source_ != 0 && carried_.source == source_ && nominal_rate_hz_ > 0.0 &&
                 carried_.nominal_rate_hz == nominal_rate_hz_ &&
                 arrival_ns - carried_.last_arrival_ns < carry_drift_within_ns;
  envelope_.add(last_sample_, arrival_ns, nominal_ns_per_sample_);
  refit();
}

void stream_clock::add_packet(std::uint32_t counter, std::int64_t arrival_ns) {
  if (!started_) {
    begin(counter, arrival_ns);
    return;
  }
  // The counter is 32 bits and wraps; a step read as signed 32-bit continues
  // the numbering across the wrap.
  const auto step = static_cast<std::int32_t>(counter - last_counter_);
  const std::int64_t sample = last_sample_ + step;
  // A repeated or late packet says nothing new about the clock; a point far
  // below the line is a corrupt counter (or a counter that started again).
  const bool refused =
      step <= 0 || (line_known_ && line_.height_of(sample, arrival_ns) < -static_cast<double>(reject_below_ns));
  if (refused) {
    if (++refused_in_row_ >= refused_before_restart) {
      // The same headset: its drift still holds.
      const std::size_t source = source_;
      const double rate = nominal_rate_hz_;
      restart(rate);
      source_ = source;
      begin(counter, arrival_ns);
    }
    return;
  }
  refused_in_row_ = 0;
  last_counter_ = counter;
  last_sample_ = sample;
  last_arrival_ns_ = arrival_ns;
  if (line_known_) delays_.add(line_.height_of(sample, arrival_ns), arrival_ns);
  const bool bin_closed =
      envelope_.add(sample, arrival_ns, line_known_ ? line_.ns_per_sample : nominal_ns_per_sample_);
  // Until the clock is known every packet counts; while settling every
  // complete bin; then once per second of stream, since a long window moves
  // little (the newest points join the next fit).
  const double rate = 1e9 / nominal_ns_per_sample_;
  if (!line_known_ ||
      (bin_closed && (static_cast<double>(envelope_.span_samples()) < tracking_span_s * rate ||
                      static_cast<double>(sample - last_fit_sample_) >= rate))) {
    refit();
  }
  publish(sample);
}

void stream_clock::refit() {
  const double rate = 1e9 / nominal_ns_per_sample_;
  const double span_s = static_cast<double>(envelope_.span_samples()) / rate;
  if (span_s < first_fit_span_s || envelope_.packets() < min_packets_for_first_fit) return;
  std::optional<clock_line> fitted;
  if (use_carried_ && span_s < carried_.span_s) {
    fitted = envelope_.fit_with_slope(carried_.ns_per_sample);
  } else if (span_s < tracking_span_s) {
    // Over the first minute the hull edge at the window's middle is short
    // and, extrapolated half a window ahead, tilts with every new low point;
    // a slope through each second's lowest arrival averages them.
    // The prior spread of the slope: what a crystal does, or more when the
    // hull already shows more.
    const auto hull = envelope_.fit();
    const double prior =
        std::max(crystal_spread_ppm * 1e-6 * nominal_ns_per_sample_,
                 hull ? std::fabs(hull->ns_per_sample - nominal_ns_per_sample_) : 0.0);
    fitted = envelope_.fit_by_group_minima(std::llround(rate),
                                           line_known_ ? line_.ns_per_sample : nominal_ns_per_sample_, prior);
  } else {
    fitted = envelope_.fit();
  }
  if (!fitted) return;
  line_ = *fitted;
  line_known_ = true;
  span_s_ = span_s;
  last_fit_sample_ = last_sample_;
  clock_snapshot next;
  next.state = span_s < tracking_span_s ? clock_state::settling : clock_state::tracking;
  next.line = line_;
  next.nominal_rate_hz = nominal_rate_hz_;
  next.jitter_ms = delays_.quantile_ms(0.99);
  next.packets_fitted = envelope_.packets();
  next.span_s = span_s;
  std::lock_guard lock(published_mutex_);
  published_ = next;
}

void stream_clock::publish(std::int64_t sample) {
  if (!line_known_) return;
  std::lock_guard lock(published_mutex_);
  track_.extend(first_sample_, sample, line_);
}

clock_snapshot stream_clock::snapshot() const {
  std::lock_guard lock(published_mutex_);
  return published_;
}

bool stream_clock::published_times_of(std::int64_t first, std::size_t count, std::int64_t* out) const {
  std::lock_guard lock(published_mutex_);
  if (!track_.known()) return false;
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = std::llround(track_.time_of(first + static_cast<std::int64_t>(i)));
  }
  return true;
}

}  // namespace calyra::core::clock
