// Packet decoding plus chunk delivery, as the notification thread runs it:
// one stream_data payload after the other through the manager's handler,
// chunks of 25 samples handed to a host callback that reads every channel.
// Reported as channel-samples per second (every streamed channel counts:
// electrodes, contacts, accelerometer, sample number and streaming flag).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "capabilities/device_features.h"
#include "cycore/eeg_manager.h"
#include "manager/eeg_manager_implementation.h"
#include "manager_test_access.h"
#include "protocol/packet_encoder.h"

namespace {

using calyra::core::accelerometer_channels;
using calyra::core::eeg_manager_implementation;
namespace channel = calyra::core::eeg_channel_id;

struct host_sink {
  const std::vector<std::uint8_t>* types = nullptr;
  double checksum = 0.0;
  std::size_t samples = 0;

  // A host that looks at every array it is given.
  static void on_chunk(const void* const* data, std::size_t count, void* self_pointer) {
    auto* self = static_cast<host_sink*>(self_pointer);
    const auto& types = *self->types;
    for (std::size_t c = 0; c < types.size(); ++c) {
      if (types[c] == CY_CHANNEL_FLOAT64) {
        self->checksum += static_cast<const double*>(data[c])[count - 1];
      } else if (types[c] == CY_CHANNEL_FLOAT32) {
        self->checksum += static_cast<const float*>(data[c])[count - 1];
      }
    }
    self->samples += count;
  }
};

// Payloads of `packets` consecutive packets with a plausible EEG-like walk.
std::vector<std::string> make_stream(const calyra::core::device_features_internal& model,
                                     const std::vector<std::uint8_t>& electrodes, std::size_t packets) {
  const calyra::core::protocol::packet_shape shape{model.electrode_count(), model.samples_per_packet(),
                                                   model.sample_difference_size(), model.has_accel()};
  const calyra::core::protocol::packet_encoder encoder(shape, electrodes, false);
  const std::size_t per_packet = shape.samples_per_packet * electrodes.size();
  std::vector<std::int32_t> values(per_packet);
  std::vector<std::string> stream;
  std::uint32_t state = 12345;
  std::vector<std::int32_t> level(electrodes.size(), 0);
  for (std::size_t p = 0; p < packets; ++p) {
    for (std::size_t i = 0; i < per_packet; ++i) {
      state = state * 1664525u + 1013904223u;
      auto& l = level[i % electrodes.size()];
      l += static_cast<std::int32_t>(state >> 22) - 512;
      values[i] = l;
    }
    calyra::core::protocol::packet_content content;
    content.values = values;
    content.status_bits = 0xFFFFFFFFu;
    content.accel = {100, -200, 980};
    content.counter = static_cast<std::uint32_t>((p + 1) * shape.samples_per_packet - 1);
    stream.push_back(encoder.encode(content));
  }
  return stream;
}

void decode_and_deliver(benchmark::State& state, std::uint8_t model_code) {
  const auto* model = calyra::core::capabilities::for_model_code(model_code);
  eeg_manager_implementation manager;
  manager.configure_for_model(*model);
  manager.set_channel_enabled(channel::SAMPLE_NUMBER, true);
  manager.set_channel_enabled(channel::STREAMING, true);
  std::vector<std::uint8_t> electrodes;
  for (int e = 0; e < model->electrode_count(); ++e) {
    manager.set_channel_enabled(static_cast<std::uint16_t>(channel::ELECTRODE_MEASUREMENT + e), true);
    manager.set_channel_enabled(static_cast<std::uint16_t>(channel::ELECTRODE_CONTACT + e), true);
    manager.set_channel_gain(static_cast<std::uint16_t>(channel::ELECTRODE_MEASUREMENT + e),
                             calyra::core::gain_mode::X8);
    electrodes.push_back(static_cast<std::uint8_t>(e));
  }
  if (model->has_accel()) {
    for (const auto id : accelerometer_channels) manager.set_channel_enabled(id, true);
  }
  calyra::core::manager_test_access::begin_stream(manager);
  host_sink sink;
  sink.types = &manager.stream_data_types();
  manager.set_callback_chunk(&host_sink::on_chunk, &sink);

  constexpr std::size_t packets = 2000;
  std::vector<std::string> stream = make_stream(*model, electrodes, packets);
  const std::size_t samples_per_packet = model->samples_per_packet();
  const std::size_t channels = manager.stream_data_types().size();

  // The counter keeps rising across rounds (patched in place), so the
  // decoder never sees a gap or a repeated packet.
  std::uint32_t counter = 0;
  std::int64_t arrival_ns = 0;
  const auto packet_ns = static_cast<std::int64_t>(1e9 * static_cast<double>(samples_per_packet) / 250.0);
  std::size_t decoded_packets = 0;
  for (auto _ : state) {
    for (auto& payload : stream) {
      counter += static_cast<std::uint32_t>(samples_per_packet);
      const std::uint32_t last = counter - 1;
      std::memcpy(payload.data() + payload.size() - 5, &last, sizeof last);  // little-endian host
      // Arrivals a packet time apart, as a paced headset delivers them.
      arrival_ns += packet_ns;
      manager.handle_stream_notification(payload, arrival_ns);
    }
    decoded_packets += stream.size();
  }
  benchmark::DoNotOptimize(sink.checksum);
  const double channel_samples = static_cast<double>(decoded_packets * samples_per_packet * channels);
  state.counters["channels"] = static_cast<double>(channels);
  state.counters["channel_samples_per_s"] = benchmark::Counter(channel_samples, benchmark::Counter::kIsRate);
  state.counters["samples_per_s"] =
      benchmark::Counter(static_cast<double>(decoded_packets * samples_per_packet), benchmark::Counter::kIsRate);
}

void BM_Decode32Electrodes(benchmark::State& state) { decode_and_deliver(state, 2); }  // heron
void BM_Decode4Electrodes(benchmark::State& state) { decode_and_deliver(state, 4); }   // kestrel

BENCHMARK(BM_Decode32Electrodes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode4Electrodes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
