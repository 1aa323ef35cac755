#include "simulator/packet_source.h"

#include <cmath>
#include <numbers>
#include <vector>

#include "protocol/packet_encoder.h"
#include "runtime/stream_types.h"

namespace calyra::simulator {
namespace {

constexpr double fallback_rate_hz = 250.0;

std::vector<std::uint8_t> streamed_electrodes(const protocol::config_record& config) {
  std::vector<std::uint8_t> electrodes;
  for (std::size_t i = 0; i < config.gains.size(); ++i)
    if (config.gains[i] != 0) electrodes.push_back(static_cast<std::uint8_t>(i));
  return electrodes;
}

std::int16_t to_raw(double counts) {
  return static_cast<std::int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, counts))));
}

}  // namespace

double packet_source::rate_hz(const protocol::config_record& config) {
  const std::uint32_t hz = core::sample_frequency_hz(config.rate_code);
  return hz == 0 ? fallback_rate_hz : hz;
}

packet_source::packet_source(const device_config& device, const model_shape& shape)
    : device_(device), shape_(shape), signal_(device.seed, device.line_hz) {
  restart();
}

void packet_source::restart() {
  next_sample_ = 0;
  loss_state_ = device_.seed ^ 0x6c6f7373ull;  // "loss"
  replay_index_ = 0;
  trigger_starts_.clear();
}

void packet_source::mark_trigger(std::uint64_t first) { trigger_starts_.push_back(first); }

bool packet_source::in_trigger_pulse(std::uint64_t sample) const {
  for (const std::uint64_t first : trigger_starts_)
    if (sample >= first && sample < first + trigger_samples) return true;
  return false;
}

bool packet_source::can_send(const protocol::config_record& config) const {
  if (!device_.replay_payloads.empty()) return replay_index_ < device_.replay_payloads.size();
  for (std::uint8_t gain : config.gains)
    if (gain != 0) return true;
  return false;
}

bool packet_source::draw_loss() {
  if (device_.loss <= 0.0) return false;
  // xorshift64*: cheap, and the same sequence for the same seed everywhere.
  loss_state_ ^= loss_state_ >> 12;
  loss_state_ ^= loss_state_ << 25;
  loss_state_ ^= loss_state_ >> 27;
  const std::uint64_t r = loss_state_ * 0x2545f4914f6cdd1dull;
  return static_cast<double>(r >> 11) * 0x1.0p-53 < device_.loss;
}

packet_source::packet packet_source::next(const protocol::config_record& config) {
  packet out;
  if (!device_.replay_payloads.empty()) {
    out.payload = device_.replay_payloads[replay_index_++];
    next_sample_ += shape_.packet.samples_per_packet;  // keeps time, whatever the payload says
  } else {
    out.payload = synthetic_payload(config);
  }
  out.lost = draw_loss();
  return out;
}

std::string packet_source::synthetic_payload(const protocol::config_record& config) {
  const protocol::packet_shape& shape = shape_.packet;
  const std::vector<std::uint8_t> electrodes = streamed_electrodes(config);
  const bool impedance = config.impedance_mode != 0;
  const double hz = rate_hz(config);
  const std::size_t S = shape.samples_per_packet;

  std::vector<std::int32_t> values;
  values.reserve(S * electrodes.size());
  for (std::size_t s = 0; s < S; ++s) {
    const std::uint64_t sample = next_sample_ + s;
    // A photodiode on the first electrode; pulses that overlap do not add up.
    const double pulse = in_trigger_pulse(sample) ? trigger_microvolts : 0.0;
    for (std::uint8_t e : electrodes)
      values.push_back(impedance ? signal_.impedance_counts(e, sample)
                                 : signal_.counts(e, sample, hz, config.gains[e], e == 0 ? pulse : 0.0));
  }

  protocol::packet_content content;
  content.values = values;
  content.status_bits = shape.electrode_count >= 32 ? 0xFFFFFFFFu
                                                    : (std::uint32_t{1} << shape.electrode_count) - 1;
  // The headset rests on a table, tilting slowly: 1 g on z, a little on x.
  const double t = static_cast<double>(next_sample_) / hz;
  const double g = shape_.accel_counts_per_g;
  content.accel = {to_raw(0.05 * g * std::sin(2.0 * std::numbers::pi * 0.2 * t)), to_raw(0.0),
                   to_raw(g)};
  next_sample_ += S;
  std::erase_if(trigger_starts_, [&](std::uint64_t first) { return first + trigger_samples <= next_sample_; });
  content.counter = static_cast<std::uint32_t>(next_sample_ - 1);

  const protocol::packet_encoder encoder(shape, electrodes, impedance);
  return encoder.encode(content);
}

}  // namespace calyra::simulator
