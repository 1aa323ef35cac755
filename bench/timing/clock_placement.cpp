// Placement of host-time moments in the first seconds of a stream and after
// a restart, in simulated time: the question a host asks when it marks an
// event ("which sample is being acquired now?"), asked online at random
// moments, answered by the stream clock as it stands at that moment. Beside
// the product, the best any lower-envelope line can do: a line with the
// exact drift, kept under every arrival seen so far.
//
// Each run streams 70 s, pauses 2 s and streams again for 15 s from a
// counter at 0 (a restart or a reconnect: a new phase against the connection
// events). Errors are |placed - true| in samples, pooled over the seeds,
// per window of stream time: 5-10 s, 10-60 s, 60-70 s, and 2-5 s and 5-15 s
// after the restart.
//
// Usage: calyra_clock_placement [--seeds N] [--loss P] [--stalls R] [--delay MS].
// Defaults: 40 seeds, 2 % loss, 0.02 stalls/s, 3 ms mean delay per
// connection event. An accuracy measurement: it prints a table, returns 0.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "arrival_trace.h"
#include "clock/stream_clock.h"

namespace {

using calyra::core::clock::clock_state;
using calyra::core::clock::stream_clock;
using calyra::timing::arrival;
using calyra::timing::arrival_trace;
using calyra::timing::trace_settings;

constexpr double rate_hz = 250.0;
constexpr double first_stream_s = 70.0;
constexpr double pause_s = 2.0;
constexpr double second_stream_s = 15.0;

struct model_case {
  const char* model;
  int samples_per_packet;
  double interval_ms;
  double ppm;
};

struct window {
  const char* name;
  int stream;  // 0: first, 1: after the restart
  double from_s, to_s;
};

constexpr std::array<window, 5> windows{{{"5-10 s", 0, 5.0, 10.0},
                                         {"10-60 s", 0, 10.0, 60.0},
                                         {"60-70 s", 0, 60.0, 70.0},
                                         {"restart +2-5 s", 1, 2.0, 5.0},
                                         {"restart +5-15 s", 1, 5.0, 15.0}}};

struct summary {
  double p50 = 0.0, p99 = 0.0, max = 0.0;
};

summary summarise(std::vector<double> errors) {
  summary s;
  if (errors.empty()) return s;
  std::sort(errors.begin(), errors.end());
  auto at = [&](double q) { return errors[static_cast<std::size_t>(q * static_cast<double>(errors.size() - 1))]; };
  s.p50 = at(0.5);
  s.p99 = at(0.99);
  s.max = errors.back();
  return s;
}

// The exact-drift lower-envelope line: the true slope, as low as the lowest
// arrival seen so far allows.
class exact_drift_reference {
 public:
  void restart(double ns_per_sample) {
    ns_per_sample_ = ns_per_sample;
    known_ = false;
  }
  void add(std::int64_t sample, std::int64_t arrival_ns) {
    const double intercept = static_cast<double>(arrival_ns) - ns_per_sample_ * static_cast<double>(sample);
    if (!known_ || intercept < intercept_) intercept_ = intercept;
    known_ = true;
  }
  double sample_at(std::int64_t t_ns) const { return (static_cast<double>(t_ns) - intercept_) / ns_per_sample_; }

 private:
  double ns_per_sample_ = 4e6;
  double intercept_ = 0.0;
  bool known_ = false;
};

struct errors_by_window {
  std::array<std::vector<double>, windows.size()> product, reference;
};

// One stream: arrivals fed in order, queries asked at random moments between them.
void stream_once(stream_clock& clock, exact_drift_reference& reference, const trace_settings& s, int stream,
                 std::mt19937_64& random, errors_by_window& out) {
  arrival_trace trace(s);
  reference.restart(trace.true_ns_per_sample());
  std::exponential_distribution<double> gap_s(1.0 / 0.2);
  double next_query_ns = trace.first_sample_ns() + 1e9 + gap_s(random) * 1e9;
  bool reference_known = false;
  arrival a;
  const auto ask = [&](std::int64_t q) {
    const double t_s = (static_cast<double>(q) - trace.first_sample_ns()) / 1e9;
    const auto snap = clock.snapshot();
    if (snap.state == clock_state::unknown || !reference_known) return;
    const double truth = trace.true_sample_at(q);
    for (std::size_t w = 0; w < windows.size(); ++w) {
      if (windows[w].stream != stream || t_s < windows[w].from_s || t_s >= windows[w].to_s) continue;
      out.product[w].push_back(std::fabs(snap.line.sample_at(q) - truth));
      out.reference[w].push_back(std::fabs(reference.sample_at(q) - truth));
    }
  };
  while (trace.next(a)) {
    while (next_query_ns < static_cast<double>(a.arrival_ns)) {
      ask(static_cast<std::int64_t>(next_query_ns));
      next_query_ns += gap_s(random) * 1e9;
    }
    clock.add_packet(a.counter, a.arrival_ns);
    reference.add(a.sample, a.arrival_ns);
    reference_known = true;
  }
}

double option(int argc, char** argv, const char* name, double fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::atof(argv[i + 1]);
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int seeds = static_cast<int>(option(argc, argv, "--seeds", 40.0));
  const double loss = option(argc, argv, "--loss", 0.02);
  const double stalls = option(argc, argv, "--stalls", 0.02);
  const double delay = option(argc, argv, "--delay", 3.0);
  std::printf("placement of random moments, asked online; |error| in samples at %.0f Hz; %d seeds, "
              "loss %.0f %%, %.3f stalls/s, %.1f ms mean delay per connection event\n"
              "product: the stream clock; reference: exact drift, line under every arrival so far\n",
              rate_hz, seeds, loss * 100.0, stalls, delay);
  std::printf("%-8s %3s %5s %5s | %-15s | %-20s | %-20s | %5s\n", "model", "spp", "int", "ppm", "window",
              "product p50/p99/max", "reference p50/p99/max", "p99 x");
  const std::array<model_case, 14> cases{{
      {"PLOVER", 10, 7.5, -20.0},  {"PLOVER", 10, 30.0, -20.0},  {"PLOVER", 10, 20.0, -20.0},
      {"PLOVER", 10, 7.5, 1500.0}, {"PLOVER", 10, 30.0, 1500.0}, {"PLOVER", 10, 20.0, 1500.0},
      {"KESTREL", 50, 7.5, -20.0}, {"KESTREL", 50, 30.0, -20.0}, {"KESTREL", 50, 50.0, -20.0},
      {"KESTREL", 50, 7.5, 1500.0}, {"KESTREL", 50, 30.0, 1500.0}, {"KESTREL", 50, 50.0, 1500.0},
      {"KESTREL", 50, 11.25, -20.0}, {"KESTREL", 50, 11.25, 2000.0},
  }};
  for (const model_case& c : cases) {
    errors_by_window errors;
    for (int seed = 1; seed <= seeds; ++seed) {
      std::mt19937_64 random(static_cast<std::uint64_t>(seed) * 7919u);
      trace_settings s;
      s.rate_hz = rate_hz;
      s.samples_per_packet = c.samples_per_packet;
      s.ppm = c.ppm;
      s.interval_ms = c.interval_ms;
      s.delay_ms = delay;
      s.loss = loss;
      s.stalls_per_s = stalls;
      s.duration_s = first_stream_s;
      s.seed = static_cast<std::uint64_t>(seed);
      stream_clock clock;
      exact_drift_reference reference;
      clock.restart(rate_hz, "headset");
      stream_once(clock, reference, s, 0, random, errors);
      // The same headset again, its counter from 0, a new phase against the radio.
      s.host_start_ns += static_cast<std::int64_t>((first_stream_s + pause_s) * 1e9);
      s.duration_s = second_stream_s;
      s.seed = static_cast<std::uint64_t>(seed) + 100000u;
      clock.restart(rate_hz, "headset");
      stream_once(clock, reference, s, 1, random, errors);
    }
    for (std::size_t w = 0; w < windows.size(); ++w) {
      const summary p = summarise(errors.product[w]);
      const summary r = summarise(errors.reference[w]);
      std::printf("%-8s %3d %5.1f %+5.0f | %-15s | %5.2f %5.2f %6.2f | %5.2f %5.2f %6.2f | %5.2f\n", c.model,
                  c.samples_per_packet, c.interval_ms, c.ppm, windows[w].name, p.p50, p.p99, p.max, r.p50, r.p99,
                  r.max, r.p99 > 0.0 ? p.p99 / r.p99 : 0.0);
    }
    std::fflush(stdout);
  }
  return 0;
}
