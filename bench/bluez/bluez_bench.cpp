// The D-Bus path measured: the bluez backend against calyra-fake-bluez on a
// private system bus, every figure once through AcquireNotify's socket
// ("acquire") and once through PropertiesChanged signals ("signals", the
// fake refusing AcquireNotify), each in a fresh bus and fake.
//
// - Latency/<path>: 2000 notifications of 100 bytes, one per millisecond;
//   the time from the fake sending each to the subscriber's callback (p50,
//   p99, max in microseconds), and the CPU time per notification of this
//   process, of dbus-daemon and of the fake (which stands for bluetoothd).
// - Stream32x500Hz/<path>: the notification rate of a 32-electrode headset
//   at 500 Hz (514-byte notifications, 9 samples each: 56 per second) for
//   20 s; CPU of this process and of dbus-daemon as a share of one core.
// - NotificationToChunk/<path>: a 16-electrode headset at 500 Hz through the
//   library for 31 s (1033 packets); fake sending a packet to the chunk
//   callback for it, and CPU as a share of one core.
// - Burst/<bytes>/<path>: 20000 notifications as fast as they are taken;
//   notifications per second, lost and reordered ones.
//
// The machine's load average is printed first: on a busy machine the tail
// comes from threads waiting for a CPU, not from this code.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ble/backend.h"
#include "ble/bluez/bluez_backend.h"
#include "cycore.h"
#include "private_bus.h"
#include "protocol/gatt_map.h"

namespace {

using namespace std::chrono_literals;
using calyra::test::enabled_adapter_sysfs;
using calyra::test::fake_bluez_process;
using calyra::test::private_bus;
namespace ble = calyra::core::ble;

const char* const finch = "CY FINCH 2,model=1,paired=1,address=C0:00:00:00:00:16";
const char* const finch_address = "C0:00:00:00:00:16";

enum path : int { acquire = 0, signals = 1 };
const char* path_name(std::int64_t p) { return p == acquire ? "acquire" : "signals"; }

std::vector<std::string> fake_arguments(std::int64_t p) {
  if (p == signals) return {"--no-acquire-notify"};
  return {};
}

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double own_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time of a single-threaded process, from the scheduler's account.
double cpu_seconds_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  double ns = 0;
  in >> ns;
  return ns / 1e9;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// Figures kept for the side-by-side table printed at the end.
std::map<std::string, std::map<std::string, double>> summary;

void report(benchmark::State& state, const std::string& figure, const std::map<std::string, double>& values) {
  for (const auto& [name, value] : values) {
    state.counters[name] = value;
    summary[figure][name] = value;
  }
}

// A bus, the fake and one connected peripheral of the backend.
struct bench_link {
  explicit bench_link(std::int64_t p) : fake(finch, fake_arguments(p)) {
    backend = ble::bluez::create_backend(true, nullptr);
    auto adapter = backend->get_adapters().at(0);
    for (auto& found : adapter->get_paired_peripherals())
      if (found->identifier() == "CY FINCH 2") peripheral = found;
    for (int attempt = 0; !peripheral && attempt < 20; ++attempt) {
      adapter->scan_for(150);
      for (auto& found : adapter->scan_get_results())
        if (found->identifier() == "CY FINCH 2") peripheral = found;
    }
    if (peripheral) peripheral->connect(owner);
  }
  ~bench_link() {
    if (peripheral) peripheral->disconnect(owner);
  }

  private_bus bus;
  fake_bluez_process fake;
  std::shared_ptr<ble::Backend> backend;
  std::shared_ptr<ble::PeripheralBackend> peripheral;
  const ble::owner_token owner = ble::new_owner_token();
};

std::uint32_t sequence_of(const ble::ByteArray& value) {
  std::uint32_t sequence = 0;
  for (std::size_t i = 0; i < 4 && i < value.size(); ++i)
    sequence |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(value[i])) << (8 * i);
  return sequence;
}

// Arrival time of each sequence number, stamped in the callback.
struct arrivals {
  explicit arrivals(std::size_t count) : at(count, 0) {}
  std::vector<std::int64_t> at;
  std::atomic<std::size_t> received{0};
  std::uint32_t expected = 0;  // callback thread only
  std::atomic<std::uint32_t> out_of_order{0};
  std::atomic<std::int64_t> last_ns{0};

  ble::NotifyCallback callback() {
    return [this](const ble::ByteArray& value, std::int64_t) {
      const std::int64_t now = now_ns();
      const std::uint32_t sequence = sequence_of(value);
      if (sequence < at.size()) at[sequence] = now;
      if (sequence != expected) ++out_of_order;
      expected = sequence + 1;
      last_ns = now;
      ++received;
    };
  }
  // Until every notification arrived, or none came for half a second.
  void wait(std::size_t count, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t seen = 0;
    while (std::chrono::steady_clock::now() < deadline && received < count) {
      std::this_thread::sleep_for(50ms);
      if (received == seen && received > 0 && now_ns() - last_ns > 500'000'000) break;
      seen = received;
    }
  }
};

void subscribe(bench_link& link, arrivals& into) {
  const auto u = calyra::core::gatt::uuids(calyra::core::gatt::role::stream_data);
  link.peripheral->notify(link.owner, u.service, u.characteristic, into.callback());
}

// CPU of this process, dbus-daemon and the fake over a measured window.
struct cpu_window {
  cpu_window(bench_link& link) : link(link) { start(); }
  void start() {
    own = own_cpu_seconds();
    daemon = cpu_seconds_of(link.bus.pid());
    fake = cpu_seconds_of(link.fake.pid());
  }
  void stop() {
    own = own_cpu_seconds() - own;
    daemon = cpu_seconds_of(link.bus.pid()) - daemon;
    fake = cpu_seconds_of(link.fake.pid()) - fake;
  }
  bench_link& link;
  double own = 0, daemon = 0, fake = 0;
};

void Latency(benchmark::State& state) {
  constexpr std::uint32_t count = 2000;
  bench_link link(state.range(0));
  if (!link.peripheral) return state.SkipWithError("headset not found");
  arrivals got(count);
  subscribe(link, got);
  std::vector<double> latencies_us;
  cpu_window cpu(link);
  for (auto _ : state) {
    cpu.start();
    const std::int64_t begin = now_ns();
    calyra::test::burst(finch_address, count, 100, 1000);
    got.wait(count, 30s);
    cpu.stop();
    state.SetIterationTime(static_cast<double>(got.last_ns - begin) / 1e9);
    const std::vector<std::uint64_t> sent = calyra::test::emission_times(finch_address);
    for (std::size_t i = 0; i < sent.size() && i < count; ++i)
      if (got.at[i] != 0) latencies_us.push_back(static_cast<double>(got.at[i] - static_cast<std::int64_t>(sent[i])) / 1e3);
  }
  const double n = std::max<double>(1.0, static_cast<double>(got.received));
  report(state, std::string("Latency/") + path_name(state.range(0)),
         {{"notifications", static_cast<double>(got.received)},
          {"p50_us", percentile(latencies_us, 0.50)},
          {"p99_us", percentile(latencies_us, 0.99)},
          {"max_us", latencies_us.empty() ? 0.0 : *std::max_element(latencies_us.begin(), latencies_us.end())},
          {"client_cpu_us_per_notification", cpu.own * 1e6 / n},
          {"dbus_daemon_cpu_us_per_notification", cpu.daemon * 1e6 / n},
          {"fake_cpu_us_per_notification", cpu.fake * 1e6 / n}});
}
BENCHMARK(Latency)->Arg(acquire)->Arg(signals)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void Stream32x500Hz(benchmark::State& state) {
  // 500 samples/s in notifications of 9 samples (32 electrodes at 12 bits
  // and the sample header fill 514 bytes): 56 per second.
  constexpr std::uint32_t per_second = 56;
  constexpr std::uint32_t count = per_second * 20;
  bench_link link(state.range(0));
  if (!link.peripheral) return state.SkipWithError("headset not found");
  arrivals got(count);
  subscribe(link, got);
  cpu_window cpu(link);
  double wall = 0;
  for (auto _ : state) {
    cpu.start();
    const std::int64_t begin = now_ns();
    calyra::test::burst(finch_address, count, 514, 1'000'000 / per_second);
    got.wait(count, 40s);
    cpu.stop();
    wall = static_cast<double>(now_ns() - begin) / 1e9;
    state.SetIterationTime(wall);
  }
  report(state, std::string("Stream32x500Hz/") + path_name(state.range(0)),
         {{"notifications", static_cast<double>(got.received)},
          {"client_percent_of_a_core", 100.0 * cpu.own / wall},
          {"dbus_daemon_percent_of_a_core", 100.0 * cpu.daemon / wall},
          {"client_and_daemon_percent", 100.0 * (cpu.own + cpu.daemon) / wall}});
}
BENCHMARK(Stream32x500Hz)->Arg(acquire)->Arg(signals)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

struct chunk_times {
  std::mutex mutex;
  std::vector<std::int64_t> arrivals;  // one per chunk, in order
  static void on_chunk(const void* const*, std::size_t, void* self) {
    auto* t = static_cast<chunk_times*>(self);
    const std::int64_t now = now_ns();
    std::lock_guard lock(t->mutex);
    t->arrivals.push_back(now);
  }
};

void NotificationToChunk(benchmark::State& state) {
  private_bus bus;
  fake_bluez_process fake(finch, fake_arguments(state.range(0)));
  enabled_adapter_sysfs sysfs;
  ::unsetenv("CYCORE_BLE_BACKEND");
  cy_core_config config{};
  cy_core_init();
  cy_core_get_config(&config);
  config.chunk_size = 15;  // the samples of one packet
  cy_core_set_config(&config);
  cy_eeg_manager* m = cy_eeg_manager_new();
  if (cy_eeg_manager_connect(m, "CY FINCH 2", nullptr, nullptr) != CY_OK) {
    cy_eeg_manager_free(m);
    cy_core_close();
    return state.SkipWithError("connect failed");
  }
  for (int e = 0; e < 16; ++e)
    cy_eeg_manager_set_channel_enabled(m, static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT + e), true);
  cy_eeg_manager_set_data_stream_rate(m, CY_RATE_HZ_500);
  cy_eeg_manager_load_config(m, nullptr, nullptr);
  chunk_times times;
  cy_eeg_manager_set_callback_chunk(m, &chunk_times::on_chunk, &times);

  std::vector<double> latencies_us;
  double own = 0, daemon = 0, wall = 0;
  for (auto _ : state) {
    const double own_before = own_cpu_seconds(), daemon_before = cpu_seconds_of(bus.pid());
    const std::int64_t begin = now_ns();
    cy_eeg_manager_start_stream(m, nullptr, nullptr);
    std::this_thread::sleep_for(31s);
    cy_eeg_manager_stop_stream(m, nullptr, nullptr);
    wall = static_cast<double>(now_ns() - begin) / 1e9;
    own = own_cpu_seconds() - own_before;
    daemon = cpu_seconds_of(bus.pid()) - daemon_before;
    state.SetIterationTime(wall);
    const std::vector<std::uint64_t> sent = calyra::test::emission_times(finch_address);
    std::lock_guard lock(times.mutex);
    const std::size_t n = std::min(sent.size(), times.arrivals.size());
    for (std::size_t i = 0; i < n; ++i)
      latencies_us.push_back(static_cast<double>(times.arrivals[i] - static_cast<std::int64_t>(sent[i])) / 1e3);
  }
  cy_eeg_manager_free(m);
  cy_core_close();
  report(state, std::string("NotificationToChunk/") + path_name(state.range(0)),
         {{"packets", static_cast<double>(latencies_us.size())},
          {"p50_us", percentile(latencies_us, 0.50)},
          {"p99_us", percentile(latencies_us, 0.99)},
          {"client_percent_of_a_core", 100.0 * own / wall},
          {"dbus_daemon_percent_of_a_core", 100.0 * daemon / wall}});
}
BENCHMARK(NotificationToChunk)->Arg(acquire)->Arg(signals)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void Burst(benchmark::State& state) {
  const auto size = static_cast<std::uint16_t>(state.range(0));
  constexpr std::uint32_t count = 20000;
  bench_link link(state.range(1));
  if (!link.peripheral) return state.SkipWithError("headset not found");
  arrivals got(count);
  subscribe(link, got);
  double rate = 0.0;
  for (auto _ : state) {
    const std::int64_t begin = now_ns();
    calyra::test::burst(finch_address, count, size);
    got.wait(count, 30s);
    const double seconds = static_cast<double>(got.last_ns - begin) / 1e9;
    state.SetIterationTime(seconds);
    rate = static_cast<double>(got.received) / seconds;
  }
  report(state, "Burst/" + std::to_string(size) + "/" + path_name(state.range(1)),
         {{"notifications_per_s", rate},
          {"lost", static_cast<double>(count - got.received)},
          {"out_of_order", static_cast<double>(got.out_of_order)}});
}
BENCHMARK(Burst)->ArgsProduct({{100, 244}, {acquire, signals}})->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void print_load_average(const char* when) {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3)
    std::printf("load average %s: %.2f %.2f %.2f (%u CPUs)\n", when, load[0], load[1], load[2],
                std::thread::hardware_concurrency());
}

// The two paths of every figure next to each other.
void print_summary() {
  std::printf("\n%-36s %-40s %14s %14s\n", "figure", "value", "acquire", "signals");
  for (const auto& [figure, values] : summary) {
    const auto slash = figure.rfind('/');
    const std::string base = figure.substr(0, slash);
    if (figure.substr(slash + 1) != "acquire") continue;
    const auto other = summary.find(base + "/signals");
    for (const auto& [name, value] : values) {
      const double signal_value = other == summary.end() ? 0.0 : other->second.at(name);
      std::printf("%-36s %-40s %14.1f %14.1f\n", base.c_str(), name.c_str(), value, signal_value);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  print_load_average("before");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_summary();
  print_load_average("after");
  return 0;
}
