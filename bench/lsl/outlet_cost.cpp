// What publishing a headset on LSL costs, with a real consumer in another
// process: the CPU of the outlet (calls and liblsl's own threads) while it
// pushes in real time, and the latency from a push to the sample's receipt
// in the consumer's inlet (p50, p99).
//
// Usage: calyra_lsl_outlet_cost [--seconds S]   (default 10 s per case)
// Needs liblsl (scripts/fetch-liblsl). A measurement, not a check: it prints
// a table and returns 0.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lsl/handles.h"
#include "lsl/library_loader.h"
#include "lsl/lsl_clock.h"
#include "lsl/sample_outlet.h"

using namespace calyra::lsl;

namespace {

constexpr std::size_t chunk_rows = 25;  // calyra's default chunk size

double monotonic_s() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double thread_cpu_s() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double cpu_s() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Sample n is acquired at origin + n / rate, and its chunk is pushed as
// soon as the chunk's last sample is acquired: the consumer reads each
// chunk's push-to-receipt latency from its last sample's timestamp.
class paced_clock final : public calyra::stream::sample_clock {
 public:
  paced_clock(double origin_s, unsigned rate) : origin_s_(origin_s), rate_(rate) {}
  std::optional<std::int64_t> host_time_of(double sample) const override {
    return std::llround((origin_s_ + sample / rate_) * 1e9);
  }
  double time_of(double sample) const { return origin_s_ + sample / rate_; }

 private:
  double origin_s_;
  double rate_;
};

// The consumer process: pulls everything, then writes the latencies of the
// chunks' last samples (receipt minus timestamp) to `report`.
int consume(const std::string& name, int report) {
  const api& lsl = library();
  const std::string predicate = "name='" + name + "'";
  streaminfo found = nullptr;
  if (lsl.resolve_bypred(&found, 1, predicate.c_str(), 1, 10.0) < 1) return 1;
  owned_streaminfo info(found, lsl.destroy_streaminfo);
  const auto channels = static_cast<std::size_t>(lsl.get_channel_count(info.get()));
  owned_inlet in(lsl.create_inlet(info.get(), 360, 0, 0), lsl.destroy_inlet);
  std::int32_t ec = 0;
  lsl.open_stream(in.get(), 10.0, &ec);
  std::vector<float> data(channels * 1024);
  std::vector<double> stamps(1024);
  std::vector<double> latencies;
  std::uint64_t received = 0;
  int idle = 0;
  while (idle < 10000) {
    // Without a timeout: with one, liblsl waits for the whole buffer.
    const unsigned long n = lsl.pull_chunk_f(in.get(), data.data(), stamps.data(), data.size(), stamps.size(), 0.0, &ec);
    const double now = lsl.local_clock();
    if (n == 0) {
      if (received > 0) ++idle;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    idle = 0;
    for (unsigned long i = 0; i < n / channels; ++i) {
      if (++received % chunk_rows == 0) latencies.push_back(now - stamps[i]);
    }
  }
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) { return latencies.empty() ? 0.0 : latencies[static_cast<std::size_t>(q * (latencies.size() - 1))]; };
  char line[128];
  const int length = std::snprintf(line, sizeof line, "%.3f %.3f %llu\n", at(0.5) * 1e3, at(0.99) * 1e3,
                                   static_cast<unsigned long long>(received));
  return write(report, line, static_cast<std::size_t>(length)) == length ? 0 : 1;
}

struct case_result {
  double cpu_percent = 0.0;
  double idle_cpu_percent = 0.0;
  double push_cpu_percent = 0.0;
  double p50_ms = 0.0, p99_ms = 0.0;
  unsigned long long received = 0;
};

case_result run_case(std::size_t electrodes, unsigned rate, double seconds, int index) {
  const std::string name = "calyra-bench-" + std::to_string(getpid()) + "-" + std::to_string(index);
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return {};
  // The consumer is forked before this process touches liblsl, so that it
  // starts with a clean library of its own.
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_ends[0]);
    _exit(consume(name, pipe_ends[1]));
  }
  close(pipe_ends[1]);

  const api& lsl = library();
  const clock_link link(lsl);
  headset_streams_description description;
  description.name = name;
  description.rate_hz = rate;
  for (std::size_t e = 1; e <= electrodes; ++e) {
    description.signals.push_back({calyra::recording::signal_kind::electrode, "E" + std::to_string(e), "uV", -1e5, 1e5});
  }
  sample_outlet outlet(lsl, link, description);
  for (int i = 0; i < 1000 && !outlet.have_consumers(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  calyra::recording::sample_block block;
  block.reset(electrodes);
  for (std::size_t r = 0; r < chunk_rows; ++r) {
    block.sample_numbers.push_back(r);
    block.streaming.push_back(1);
    for (auto& column : block.signals) column.push_back(12.5 * static_cast<double>(r));
  }
  // liblsl's own threads, with the consumer connected and nothing pushed.
  const double idle_cpu_before = cpu_s();
  const double idle_start = monotonic_s();
  std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 3.0)));
  const double idle_cpu = (cpu_s() - idle_cpu_before) / (monotonic_s() - idle_start);

  const double start = monotonic_s();
  const paced_clock clock(start, rate);
  const auto chunks = static_cast<std::size_t>(seconds * rate / chunk_rows);
  double push_cpu = 0.0;
  const double cpu_before = cpu_s();
  for (std::size_t c = 0; c < chunks; ++c) {
    for (std::size_t r = 0; r < chunk_rows; ++r) block.sample_numbers[r] = c * chunk_rows + r;
    const double due = clock.time_of(static_cast<double>(block.sample_numbers.back()));
    std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, due - monotonic_s())));
    const double push_before = thread_cpu_s();
    outlet.push(block, clock);
    push_cpu += thread_cpu_s() - push_before;
  }
  const double elapsed = monotonic_s() - start;
  const double cpu = cpu_s() - cpu_before;

  case_result result;
  // The pacing loop's own wake-ups (one per chunk) are counted too.
  result.cpu_percent = 100.0 * cpu / elapsed;
  result.idle_cpu_percent = 100.0 * idle_cpu;
  result.push_cpu_percent = 100.0 * push_cpu / elapsed;
  char line[128] = {};
  FILE* report = fdopen(pipe_ends[0], "r");
  if (report != nullptr && std::fgets(line, sizeof line, report) != nullptr) {
    std::sscanf(line, "%lf %lf %llu", &result.p50_ms, &result.p99_ms, &result.received);
  }
  if (report != nullptr) std::fclose(report);
  waitpid(child, nullptr, 0);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10.0;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
  }
  struct setting {
    std::size_t electrodes;
    unsigned rate;
  };
  const setting settings[] = {{32, 250}, {8, 500}};
  std::printf("LSL outlet, %g s real time per case, chunks of %zu samples, one consumer in another process\n"
              "(%% of one core: the whole process while pushing; the same with the consumer connected and\n"
              "nothing pushed, which is liblsl's own threads; the push calls alone)\n",
              seconds, chunk_rows);
  std::printf("%-18s %12s %12s %12s %14s %14s %10s\n", "stream", "process %", "idle %", "push calls %",
              "latency p50", "latency p99", "received");
  int index = 0;
  for (const auto& s : settings) {
    const case_result r = run_case(s.electrodes, s.rate, seconds, index++);
    char label[32];
    std::snprintf(label, sizeof label, "%zu el @ %u Hz", s.electrodes, s.rate);
    std::printf("%-18s %12.3f %12.3f %12.3f %11.3f ms %11.3f ms %10llu\n", label, r.cpu_percent,
                r.idle_cpu_percent, r.push_cpu_percent, r.p50_ms, r.p99_ms, r.received);
  }
  return 0;
}
