// Accuracy of the stream clock on synthetic arrival traces in simulated time:
// for every combination of rate, drift, connection interval and delay (with
// packet loss and stalls), the error of "which sample is being acquired now"
// asked at every arrival, in samples, against the trace's truth; beside it
// the start-of-stream estimate that cy_eeg_manager_annotate uses.
//
// Usage: calyra_clock_accuracy [--hours H] [--spp S] [--loss P] [--stalls R]
// [--seed N]. Defaults: 8 h, 10 samples per packet, 5 % loss, 0.02 stalls/s.
// An accuracy measurement, not a speed one: it prints a table and returns 0.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arrival_trace.h"
#include "clock/stream_clock.h"
#include "manager/arrival_fit.h"
#include "manager/eeg_manager_implementation.h"

namespace {

using calyra::core::clock::clock_state;
using calyra::core::clock::stream_clock;
using calyra::timing::arrival;
using calyra::timing::arrival_trace;
using calyra::timing::trace_settings;

struct summary {
  double p50 = 0.0, p99 = 0.0, max = 0.0;
};

summary summarise(std::vector<double>& errors) {
  summary s;
  if (errors.empty()) return s;
  auto at = [&](double q) {
    const auto k = static_cast<std::size_t>(q * static_cast<double>(errors.size() - 1));
    std::nth_element(errors.begin(), errors.begin() + static_cast<std::ptrdiff_t>(k), errors.end());
    return errors[k];
  };
  s.p50 = at(0.5);
  s.p99 = at(0.99);
  s.max = *std::max_element(errors.begin(), errors.end());
  return s;
}

struct result {
  summary clock_5s, clock_60s, start_5s;
  double converged_s = 0.0;   // from here on every error stayed within 0.5 sample
  double first_known_s = 0.0;
  double jitter_ms = 0.0;
  double drift_error_ppm = 0.0;
};

std::uint8_t rate_code(double hz) { return hz == 500.0 ? 5 : 6; }

result run(const trace_settings& s) {
  arrival_trace trace(s);
  stream_clock clock;
  clock.restart(s.rate_hz);
  std::vector<double> after_5s, after_60s, start_after_5s;
  const auto expected = static_cast<std::size_t>(s.duration_s * s.rate_hz / s.samples_per_packet);
  after_5s.reserve(expected);
  after_60s.reserve(expected);
  start_after_5s.reserve(expected);
  result r;
  r.first_known_s = -1.0;
  double last_bad_s = 0.0;

  // The start-of-stream estimate: one fit of the first 11 arrivals, in ms.
  const std::int64_t start_ms = trace.start_command_ns() / 1000000;
  std::array<std::int64_t, calyra::core::arrival_fit_points> first{};
  std::size_t firsts = 0;
  double origin = 0.0;

  arrival a;
  while (trace.next(a)) {
    clock.add_packet(a.counter, a.arrival_ns);
    const double t_s = (static_cast<double>(a.arrival_ns) - trace.first_sample_ns()) / 1e9;
    const double truth = trace.true_sample_at(a.arrival_ns);
    const auto snap = clock.snapshot();
    if (snap.state != clock_state::unknown) {
      if (r.first_known_s < 0.0) r.first_known_s = t_s;
      const double error = std::fabs(snap.line.sample_at(a.arrival_ns) - truth);
      if (error > 0.5) last_bad_s = t_s;
      if (t_s >= 5.0) after_5s.push_back(error);
      if (t_s >= 60.0) after_60s.push_back(error);
    } else {
      last_bad_s = t_s;
    }
    const std::int64_t now_ms = a.arrival_ns / 1000000;
    if (firsts < first.size()) {
      first[firsts++] = now_ms - start_ms;
      if (firsts == first.size()) origin = calyra::core::fit_stream_time_origin(first);
    } else if (t_s >= 5.0) {
      const std::int64_t at = calyra::core::eeg_manager_implementation::annotation_sample_number(
          now_ms, start_ms, origin, rate_code(s.rate_hz));
      start_after_5s.push_back(std::fabs(static_cast<double>(at) - truth));
    }
  }
  const auto snap = clock.snapshot();
  r.jitter_ms = snap.jitter_ms;
  r.drift_error_ppm = (1e9 / snap.line.ns_per_sample / s.rate_hz - 1.0) * 1e6 - s.ppm;
  r.converged_s = last_bad_s;
  r.clock_5s = summarise(after_5s);
  r.clock_60s = summarise(after_60s);
  r.start_5s = summarise(start_after_5s);
  return r;
}

double option(int argc, char** argv, const char* name, double fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::atof(argv[i + 1]);
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const double hours = option(argc, argv, "--hours", 8.0);
  const int spp = static_cast<int>(option(argc, argv, "--spp", 10.0));
  const double loss = option(argc, argv, "--loss", 0.05);
  const double stalls = option(argc, argv, "--stalls", 0.02);
  const auto seed = static_cast<std::uint64_t>(option(argc, argv, "--seed", 1.0));
  std::printf("stream clock vs start-of-stream estimate: %.2f h, %d samples/packet, loss %.0f %%, "
              "%.3f stalls/s; |error| in samples of \"sample acquired now\" asked at each arrival\n",
              hours, spp, loss * 100.0, stalls);
  std::printf("%5s %5s %5s %4s | %-20s | %-20s | %7s %6s %7s | %-24s\n", "Hz", "ppm", "int", "dly",
              "clock >5s p50/p99/max", "clock >60s p50/p99/max", "conv s", "jit ms", "ppm err",
              "start-est >5s p50/p99/max");
  double worst_max_5s = 0.0, worst_p99_5s = 0.0;
  for (double rate : {250.0, 500.0})
    for (double ppm : {-200.0, 0.0, 200.0})
      for (double interval : {7.5, 30.0, 50.0})
        for (double delay : {0.0, 5.0}) {
          trace_settings s;
          s.rate_hz = rate;
          s.samples_per_packet = spp;
          s.ppm = ppm;
          s.interval_ms = interval;
          s.delay_ms = delay;
          s.loss = loss;
          s.stalls_per_s = stalls;
          s.duration_s = hours * 3600.0;
          s.seed = seed;
          const result r = run(s);
          worst_max_5s = std::max(worst_max_5s, r.clock_5s.max);
          worst_p99_5s = std::max(worst_p99_5s, r.clock_5s.p99);
          std::printf("%5.0f %+5.0f %5.1f %4.0f | %5.2f %5.2f %6.2f | %5.2f %5.2f %6.2f | %7.1f %6.1f %+7.2f | %6.1f %7.1f %8.1f\n",
                      rate, ppm, interval, delay, r.clock_5s.p50, r.clock_5s.p99, r.clock_5s.max,
                      r.clock_60s.p50, r.clock_60s.p99, r.clock_60s.max, r.converged_s, r.jitter_ms,
                      r.drift_error_ppm, r.start_5s.p50, r.start_5s.p99, r.start_5s.max);
          std::fflush(stdout);
        }
  std::printf("worst over all combinations after 5 s: p99 %.2f, max %.2f samples\n", worst_p99_5s, worst_max_5s);
  return 0;
}
