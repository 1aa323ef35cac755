// Channel and stream settings: memory only, nothing is sent to the headset
// here (the configuration upload does that, and the stream start freezes
// them).
#include <algorithm>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

void eeg_manager_implementation::set_channel_enabled(std::uint16_t channel, bool enabled) {
  std::lock_guard lock(channel_settings_mutex);
  if (enabled) {
    enabled_channels.insert(channel);
  } else {
    enabled_channels.erase(channel);
  }
}

void eeg_manager_implementation::set_channel_gain(std::uint16_t channel, gain_mode mode) {
  std::lock_guard lock(gain_mutex);
  channel_gains[channel] = mode;
}

void eeg_manager_implementation::set_channel_bias(std::uint16_t channel, polarity p) {
  // Before a connection no model is known; its electrodes then count as not
  // bipolar rather than dereferencing a missing model.
  const bool bipolar = features != nullptr && features->is_bipolar();
  std::lock_guard lock(bias_mutex);
  if (p == 0) {
    channel_bias.erase(channel);
  } else {
    channel_bias[channel] = bipolar ? p : polarity{1};
  }
}

void eeg_manager_implementation::set_impedance_mode(impedance_measurement_mode mode) {
  std::lock_guard lock(impedance_mutex);
  impedance_mode.store(mode, std::memory_order_relaxed);
}

error eeg_manager_implementation::set_data_stream_rate(calyra::core::data_stream_rate rate) {
  std::lock_guard lock(rate_mutex);
  // Without an identified model nothing can confirm the rate: it is stored
  // and reported as unsupported.
  const bool available = features != nullptr && features->is_sample_rate_available(rate);
  data_stream_rate.store(static_cast<std::uint8_t>(rate), std::memory_order_relaxed);
  if (available) return error::OK;
  return fail(error::UNSUPPORTED_SAMPLE_RATE, [&](std::ostream& out) {
    out << "The sample rate code " << unsigned{static_cast<std::uint8_t>(rate)} << " is "
        << (features == nullptr ? "stored, but no headset is connected to confirm it"
                                : "not accepted by the connected model (choose another rate)");
  });
}

std::uint8_t eeg_manager_implementation::get_sample_frequency() const {
  return data_stream_rate.load(std::memory_order_relaxed);
}

std::int64_t eeg_manager_implementation::get_channel_index(std::uint16_t channel) const {
  std::lock_guard lock(channel_settings_mutex);
  const auto it = std::lower_bound(stream_channels.begin(), stream_channels.end(), channel);
  if (it == stream_channels.end() || *it != channel) return -1;
  return it - stream_channels.begin();
}

void eeg_manager_implementation::reset_stream_settings() {
  {
    std::lock_guard lock(channel_settings_mutex);
    enabled_channels.clear();
  }
  {
    std::lock_guard lock(gain_mutex);
    channel_gains.clear();
  }
  {
    std::lock_guard lock(bias_mutex);
    channel_bias.clear();
  }
  {
    std::lock_guard lock(impedance_mutex);
    impedance_mode.store(0, std::memory_order_relaxed);
  }
  {
    std::lock_guard lock(channel_settings_mutex);
    stream_channels.clear();
  }
  std::lock_guard lock(gain_mutex);
  stream_gains.clear();
}

}  // namespace calyra::core
