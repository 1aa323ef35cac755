// Test helper: a manager driven without a radio. It is set up for a model as
// a connect would, its stream is started locally (layout, buffers, decoding
// plan) and payloads are fed straight to the decoder, as the notification
// handler does.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "capabilities/device_features.h"
#include "chunk_recorder.h"
#include "manager/eeg_manager_implementation.h"
#include "manager_test_access.h"
#include "protocol/packet_encoder.h"

namespace calyra::core::testing {

class decoder_harness {
 public:
  explicit decoder_harness(std::uint8_t model_code) {
    manager.configure_for_model(*capabilities::for_model_code(model_code));
    recorder.attach(handle());
  }

  cy_eeg_manager* handle() { return reinterpret_cast<cy_eeg_manager*>(&manager); }
  const device_features_internal& model() const { return manager_test_access::model(manager); }

  void enable(std::initializer_list<std::uint16_t> channels) {
    for (const auto id : channels) manager.set_channel_enabled(id, true);
  }
  // Every channel the model produces.
  void enable_all() {
    enable({eeg_channel_id::SAMPLE_NUMBER, eeg_channel_id::STREAMING});
    for (int i = 0; i < model().electrode_count(); ++i) {
      enable({static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_MEASUREMENT + i),
              static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_CONTACT + i)});
    }
    if (model().has_accel()) {
      for (const auto id : accelerometer_channels) enable({id});
    }
  }
  void start() { manager_test_access::begin_stream(manager); }
  void feed(const std::string& payload) {
    manager_test_access::under_stream_lock(manager, [&] { manager.sample_to_buffer(payload); });
  }
  void flush() {
    manager_test_access::under_stream_lock(manager, [&] { manager.service_chunks(); });
  }
  // An encoder for the streamed electrodes of the running layout.
  protocol::packet_encoder encoder(bool impedance = false) const {
    const protocol::packet_shape shape{model().electrode_count(), model().samples_per_packet(),
                                       model().sample_difference_size(), model().has_accel()};
    return protocol::packet_encoder(shape, manager.streamed_electrodes(), impedance);
  }
  std::int64_t index(std::uint16_t channel) const { return manager.get_channel_index(channel); }
  std::vector<double> values(std::uint16_t channel) const {
    const auto i = index(channel);
    return i < 0 ? std::vector<double>{} : recorder.channel(static_cast<std::size_t>(i));
  }

  eeg_manager_implementation manager;
  chunk_recorder recorder;
};

// A payload with the given counter whose S x L values follow a deterministic
// walk from `seed`; `reconstructed` receives what the receiver must rebuild.
inline std::string walk_packet(const protocol::packet_encoder& encoder, std::uint32_t counter,
                               std::uint32_t seed, std::vector<std::int32_t>* reconstructed,
                               std::uint32_t status_bits = 0, std::array<std::int16_t, 3> accel = {}) {
  const std::size_t count = encoder.shape().samples_per_packet * encoder.streamed_electrodes().size();
  std::vector<std::int32_t> values(count);
  std::uint32_t state = seed * 2654435761u + 1;
  std::int32_t level = static_cast<std::int32_t>(seed % 2000000) - 1000000;
  for (auto& v : values) {
    state = state * 1664525u + 1013904223u;
    level += static_cast<std::int32_t>(state >> 20) - 2048;  // steps within +-2048
    v = level;
  }
  protocol::packet_content content;
  content.values = values;
  content.status_bits = status_bits;
  content.accel = accel;
  content.counter = counter;
  return encoder.encode(content, reconstructed);
}

}  // namespace calyra::core::testing
