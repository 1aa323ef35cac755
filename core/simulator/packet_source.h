// Produces the virtual headset's stream packets: the synthetic signal (or the
// payloads of a replay file) encoded in the model's packet layout, with a
// packet counter that starts at 0 with each start command, and seeded loss.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "simulator/device_config.h"
#include "simulator/model_shapes.h"
#include "simulator/synthetic_signal.h"
#include "protocol/config_record.h"

namespace calyra::simulator {

class packet_source {
 public:
  packet_source(const device_config& device, const model_shape& shape);

  // A start command: the counter goes back to sample 0, the loss sequence
  // starts again from the seed and pending trigger marks are dropped.
  void restart();

  // Whether next() has anything to send under this configuration: at least one
  // electrode with a non-zero gain byte, and replay payloads left.
  bool can_send(const protocol::config_record& config) const;

  struct packet {
    std::string payload;
    bool lost;  // dropped on the air: the counter advanced, nothing arrives
  };
  // The next packet; call only when can_send().
  packet next(const protocol::config_record& config);

  // The configured rate (250 Hz for a code without one).
  static double rate_hz(const protocol::config_record& config);
  // The first sample of the next packet.
  std::uint64_t next_sample() const { return next_sample_; }

  // A trigger pulse: samples first .. first + trigger_samples - 1 carry an
  // extra trigger_microvolts on electrode 0 (synthetic EEG only).
  void mark_trigger(std::uint64_t first);
  static constexpr std::uint64_t trigger_samples = 10;
  static constexpr double trigger_microvolts = 300.0;

 private:
  std::string synthetic_payload(const protocol::config_record& config);
  bool draw_loss();
  bool in_trigger_pulse(std::uint64_t sample) const;

  const device_config& device_;
  model_shape shape_;
  synthetic_signal signal_;
  std::uint64_t next_sample_ = 0;
  std::uint64_t loss_state_ = 0;
  std::size_t replay_index_ = 0;
  std::vector<std::uint64_t> trigger_starts_;  // pulses not yet over
};

}  // namespace calyra::simulator
