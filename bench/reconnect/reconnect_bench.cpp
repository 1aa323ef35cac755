// How quickly a recording picks a returning headset up again, and a long
// run with links that keep dropping, in process against a real-time virtual
// headset (the calyra session with a probe sink in place of the file).
//
// First: `--drops N` drops of `--down-ms MS` each (DropLinkFor); for each,
// the time from the headset's return (the end of its down time) to the
// first new decoded sample reaching the sinks, after its gap is placed.
// CYCORE_VIRTUAL_SCAN_SCALE sets the search time (1: a realistic 5 s scan;
// the bench sets 0.02 when it is unset).
// Then (`--soak-seconds S`, default 0: skipped): S seconds of stream with
// `drop_every=D` (`--drop-every`, 60) and `down_ms` as given: every row on
// one axis, nothing filled beyond the outages, and the resident memory at
// the start, the middle and the end.
//
// A measurement: prints its figures and returns 0 (1 when a row is out of
// order or a sample is lost outside an outage).
#include <cycore_virtual.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "library/core_session.h"
#include "session/stream_session.h"

namespace {

using namespace calyra;
using steady = std::chrono::steady_clock;

long resident_kib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct probe final : session::sink {
  std::uint64_t next = 0;
  bool in_order = true;
  bool in_gap = false;
  std::uint64_t filled = 0;
  std::vector<steady::time_point> first_after_gap;
  std::vector<long> memory;
  steady::time_point last_memory = steady::now();

  void rows(const recording::sample_block& rows) override {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows.sample_numbers[i] != next) in_order = false;
      next = rows.sample_numbers[i] + 1;
      if (rows.streaming[i] == 0) {
        in_gap = true;
        ++filled;
      } else if (in_gap) {
        in_gap = false;
        first_after_gap.push_back(steady::now());
      }
    }
  }
  void event(const session::placed_event&) override {}
  void tick() override {
    if (steady::now() - last_memory < std::chrono::seconds(10)) return;
    last_memory = steady::now();
    memory.push_back(resident_kib());
  }
  void finish(const session::run_end&) override {}
  std::string failure_reason() const override { return "the probe failed"; }
};

// Streams `seconds` of "CY KESTREL 5" while `disturb` runs beside it.
template <typename Disturb>
int run(double seconds, probe& p, std::vector<session::link_outage>& outages, Disturb disturb) {
  library::core_session core({true, ""}, {});
  session::stream_session s({seconds, 5.0, ""});
  session::headset_settings settings;
  settings.device = "CY KESTREL 5";
  settings.seconds = seconds;
  session::headset_stream& h = s.add_headset(settings);
  auto owned = std::make_unique<probe>();
  probe* sink = owned.get();
  h.add_sink(std::move(owned));
  std::thread beside(disturb);
  // The status lines go to a file: the figures are what is printed here.
  std::fflush(stdout);
  const int saved = dup(1);
  FILE* quiet = std::fopen("/dev/null", "w");
  dup2(fileno(quiet), 1);
  const int status = s.run();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::fclose(quiet);
  beside.join();
  outages = h.outages();
  p = *sink;
  return status;
}

double arg(int argc, char** argv, const char* name, double fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::atof(argv[i + 1]);
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int drops = static_cast<int>(arg(argc, argv, "--drops", 5));
  const double down_ms = arg(argc, argv, "--down-ms", 1000);
  const double soak = arg(argc, argv, "--soak-seconds", 0);
  const double drop_every = arg(argc, argv, "--drop-every", 60);
  setenv("CYCORE_VIRTUAL_SCAN_SCALE", "0.02", 0);
  int failures = 0;

  if (drops > 0) {
    setenv("CYCORE_VIRTUAL_DEVICES", "CY KESTREL 5", 1);
    std::vector<steady::time_point> returns;
    probe p;
    std::vector<session::link_outage> outages;
    const double period = 4.0 + down_ms / 1000.0;
    run(2.0 + drops * period, p, outages, [&] {
      const auto start = steady::now();
      for (int i = 0; i < drops; ++i) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(1.5 + i * period));
        cy_virtual_drop_link_for("CY KESTREL 5", static_cast<std::uint32_t>(down_ms));
        returns.push_back(steady::now() + std::chrono::milliseconds(static_cast<long>(down_ms)));
      }
    });
    std::vector<double> waits;
    for (std::size_t i = 0; i < returns.size() && i < p.first_after_gap.size(); ++i) {
      waits.push_back(std::chrono::duration<double>(p.first_after_gap[i] - returns[i]).count());
    }
    std::sort(waits.begin(), waits.end());
    std::printf("return to first new sample (scan scale %s, %d drops of %.0f ms): ",
                std::getenv("CYCORE_VIRTUAL_SCAN_SCALE"), drops, down_ms);
    if (waits.empty()) {
      std::printf("no outage recovered\n");
      ++failures;
    } else {
      std::printf("median %.2f s, max %.2f s; attempts per outage:", waits[waits.size() / 2], waits.back());
      for (const auto& o : outages) std::printf(" %u", o.attempts);
      std::printf("\n");
    }
    if (!p.in_order) ++failures;
  }

  if (soak > 0) {
    const std::string devices = "CY KESTREL 5,drop_every=" + std::to_string(drop_every) +
                                ",down_ms=" + std::to_string(static_cast<long>(down_ms)) + ",seed=7";
    setenv("CYCORE_VIRTUAL_DEVICES", devices.c_str(), 1);
    probe p;
    std::vector<session::link_outage> outages;
    const long before = resident_kib();
    run(soak, p, outages, [] {});
    std::uint64_t outage_filled = 0;
    for (const auto& o : outages) outage_filled += o.filled;
    std::printf("soak %.0f s, drop_every=%g, down_ms=%.0f: %zu outages, %llu rows in order: %s, "
                "filled %llu (outages %llu), memory %ld KiB at start",
                soak, drop_every, down_ms, outages.size(), static_cast<unsigned long long>(p.next),
                p.in_order ? "yes" : "NO", static_cast<unsigned long long>(p.filled),
                static_cast<unsigned long long>(outage_filled), before);
    if (!p.memory.empty()) {
      std::printf(", %ld mid, %ld end", p.memory[p.memory.size() / 2], p.memory.back());
    }
    std::printf(" KiB\n");
    if (!p.in_order || p.filled != outage_filled) ++failures;
  }
  return failures == 0 ? 0 : 1;
}
