// Channel and stream settings: memory only, nothing is sent to the headset
// here (the configuration upload does that, and the stream start freezes
// them).
#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

void eeg_manager_implementation::set_channel_enabled(std::uint16_t channel, bool enabled) {
  settings_.set_enabled(channel, enabled);
}

void eeg_manager_implementation::set_channel_gain(std::uint16_t channel, gain_mode mode) {
  settings_.set_gain(channel, mode);
}

void eeg_manager_implementation::set_channel_bias(std::uint16_t channel, polarity p) {
  // Before a connection no model is known; its electrodes then count as not
  // bipolar rather than dereferencing a missing model.
  const bool bipolar = features != nullptr && features->is_bipolar();
  settings_.set_bias(channel, p == 0 || bipolar ? p : polarity{1});
}

void eeg_manager_implementation::set_impedance_mode(impedance_measurement_mode mode) {
  settings_.set_impedance_mode(mode);
}

error eeg_manager_implementation::set_data_stream_rate(calyra::core::data_stream_rate rate) {
  // Without an identified model nothing can confirm the rate: it is stored
  // and reported as unsupported.
  const bool available = features != nullptr && features->is_sample_rate_available(rate);
  settings_.set_rate(static_cast<std::uint8_t>(rate));
  if (available) return error::OK;
  return fail(error::UNSUPPORTED_SAMPLE_RATE, [&](std::ostream& out) {
    out << "The sample rate code " << unsigned{static_cast<std::uint8_t>(rate)} << " is "
        << (features == nullptr ? "stored, but no headset is connected to confirm it"
                                : "not accepted by the connected model (choose another rate)");
  });
}

std::uint8_t eeg_manager_implementation::get_sample_frequency() const { return settings_.rate(); }

std::int64_t eeg_manager_implementation::get_channel_index(std::uint16_t channel) const {
  return settings_.index_in_stream(channel);
}

void eeg_manager_implementation::reset_stream_settings() { settings_.reset(); }

}  // namespace calyra::core
