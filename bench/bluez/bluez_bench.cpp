// The D-Bus path measured: the bluez backend against calyra-fake-bluez on a
// private system bus.
//
// - NotificationToChunk/<Hz>: a 32-electrode headset streaming in real time;
//   the time from the fake sending a packet to the host's chunk callback for
//   it (one chunk per packet), as p50 / p99 / max, and the CPU time of this
//   process per second of stream (the share of one core one headset costs).
// - Burst/<bytes>: notifications sent as fast as the bus takes them through
//   the backend to a subscriber; notifications per second and how many were
//   lost or reordered.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ble/backend.h"
#include "ble/bluez/bluez_backend.h"
#include "simulator/device_config.h"
#include "cycore.h"
#include "private_bus.h"
#include "protocol/gatt_map.h"

namespace {

using namespace std::chrono_literals;
using calyra::test::enabled_adapter_sysfs;
using calyra::test::fake_bluez_process;
using calyra::test::private_bus;
namespace ble = calyra::core::ble;

const char* const heron = "CY HERON 3,model=2,address=C0:00:00:00:00:32";
const char* const heron_address = "C0:00:00:00:00:32";

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::uint64_t now_ns() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

struct chunk_times {
  std::mutex mutex;
  std::vector<std::uint64_t> arrivals;  // one per chunk, in order
  static void on_chunk(const void* const*, std::size_t, void* self) {
    auto* t = static_cast<chunk_times*>(self);
    const std::uint64_t now = now_ns();
    std::lock_guard lock(t->mutex);
    t->arrivals.push_back(now);
  }
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

void NotificationToChunk(benchmark::State& state) {
  const auto hz = state.range(0);
  private_bus bus;
  fake_bluez_process fake(heron);
  enabled_adapter_sysfs sysfs;
  ::unsetenv("CYCORE_BLE_BACKEND");
  cy_core_config config{};
  cy_core_init();
  cy_core_get_config(&config);
  config.chunk_size = 10;  // the samples of one packet
  cy_core_set_config(&config);
  cy_eeg_manager* m = cy_eeg_manager_new();
  if (cy_eeg_manager_connect(m, "CY HERON 3", nullptr, nullptr) != CY_OK) {
    state.SkipWithError("connect failed");
    return;
  }
  for (int e = 0; e < 32; ++e)
    cy_eeg_manager_set_channel_enabled(m, static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT + e), true);
  cy_eeg_manager_set_data_stream_rate(m, hz == 500 ? CY_RATE_HZ_500 : CY_RATE_HZ_250);
  cy_eeg_manager_load_config(m, nullptr, nullptr);
  chunk_times times;
  cy_eeg_manager_set_callback_chunk(m, &chunk_times::on_chunk, &times);

  std::vector<double> latencies_ms;
  double cpu_per_second = 0.0;
  for (auto _ : state) {
    {
      std::lock_guard lock(times.mutex);
      times.arrivals.clear();
    }
    const double cpu_before = cpu_seconds();
    const auto wall_before = std::chrono::steady_clock::now();
    cy_eeg_manager_start_stream(m, nullptr, nullptr);
    std::this_thread::sleep_for(5s);
    cy_eeg_manager_stop_stream(m, nullptr, nullptr);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    cpu_per_second = (cpu_seconds() - cpu_before) / wall;
    state.SetIterationTime(wall);
    const std::vector<std::uint64_t> sent = calyra::test::emission_times(heron_address);
    std::lock_guard lock(times.mutex);
    const std::size_t n = std::min(sent.size(), times.arrivals.size());
    state.counters["sent"] = static_cast<double>(sent.size());
    state.counters["chunks"] = static_cast<double>(times.arrivals.size());
    for (std::size_t i = 0; i < n; ++i)
      latencies_ms.push_back(static_cast<double>(static_cast<std::int64_t>(times.arrivals[i] - sent[i])) / 1e6);
  }
  cy_eeg_manager_free(m);
  cy_core_close();
  state.counters["packets"] = static_cast<double>(latencies_ms.size());
  state.counters["p50_ms"] = percentile(latencies_ms, 0.50);
  state.counters["p99_ms"] = percentile(latencies_ms, 0.99);
  state.counters["max_ms"] = latencies_ms.empty() ? 0.0 : *std::max_element(latencies_ms.begin(), latencies_ms.end());
  state.counters["cpu_percent_of_a_core"] = 100.0 * cpu_per_second;
}
BENCHMARK(NotificationToChunk)->Arg(250)->Arg(500)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void Burst(benchmark::State& state) {
  const auto size = static_cast<std::uint16_t>(state.range(0));
  constexpr std::uint32_t count = 20000;
  private_bus bus;
  fake_bluez_process fake(heron);
  auto backend = ble::bluez::create_backend(true, nullptr);
  auto adapter = backend->get_adapters().at(0);
  adapter->scan_for(150);
  std::shared_ptr<ble::PeripheralBackend> p;
  for (auto& found : adapter->scan_get_results())
    if (found->identifier() == "CY HERON 3") p = found;
  if (!p) {
    state.SkipWithError("headset not found");
    return;
  }
  const auto owner = ble::new_owner_token();
  p->connect(owner);
  std::atomic<std::uint32_t> received{0}, out_of_order{0};
  std::atomic<std::uint64_t> last_at{0};
  std::uint32_t expected = 0;  // only touched on the backend's callback thread
  const auto u = calyra::core::gatt::uuids(calyra::core::gatt::role::stream_data);
  p->notify(owner, u.service, u.characteristic, [&](const ble::ByteArray& value, std::int64_t) {
    std::uint32_t sequence = 0;
    for (int i = 0; i < 4; ++i)
      sequence |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(value[static_cast<std::size_t>(i)])) << (8 * i);
    if (sequence != expected) ++out_of_order;
    expected = sequence + 1;
    last_at = now_ns();
    ++received;
  });
  double rate = 0.0;
  for (auto _ : state) {
    received = 0;
    expected = 0;
    const std::uint64_t start = now_ns();
    calyra::test::burst(heron_address, count, size);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    std::uint32_t seen = 0;
    // Done when everything arrived, or nothing more came for half a second.
    while (std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(100ms);
      if (received == count) break;
      if (received == seen && received > 0 && now_ns() - last_at > 500'000'000u) break;
      seen = received;
    }
    const double seconds = static_cast<double>(last_at - start) / 1e9;
    state.SetIterationTime(seconds);
    rate = received / seconds;
  }
  state.counters["notifications_per_s"] = rate;
  state.counters["lost"] = static_cast<double>(count - received);
  state.counters["out_of_order"] = static_cast<double>(out_of_order);
  p->unsubscribe(owner, u.service, u.characteristic);
  p->disconnect(owner);
}
BENCHMARK(Burst)->Arg(100)->Arg(244)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
