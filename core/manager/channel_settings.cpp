#include "manager/channel_settings.h"

#include <algorithm>

namespace calyra::core {

void channel_settings::set_enabled(std::uint16_t channel, bool enabled) {
  std::lock_guard lock(mutex_);
  if (enabled) {
    enabled_.insert(channel);
  } else {
    enabled_.erase(channel);
  }
}

void channel_settings::set_gain(std::uint16_t channel, gain_mode mode) {
  std::lock_guard lock(mutex_);
  gains_[channel] = mode;
}

void channel_settings::set_bias(std::uint16_t channel, polarity p) {
  std::lock_guard lock(mutex_);
  if (p == 0) {
    bias_.erase(channel);
  } else {
    bias_[channel] = p;
  }
}

void channel_settings::set_impedance_mode(impedance_measurement_mode mode) {
  std::lock_guard lock(mutex_);
  impedance_mode_.store(mode, std::memory_order_relaxed);
}

void channel_settings::set_rate(std::uint8_t rate_code) {
  std::lock_guard lock(mutex_);
  rate_.store(rate_code, std::memory_order_relaxed);
}

std::vector<std::uint16_t> channel_settings::enabled_channels() const {
  std::lock_guard lock(mutex_);
  return {enabled_.begin(), enabled_.end()};
}

polarity channel_settings::bias_of(std::uint16_t channel) const {
  std::lock_guard lock(mutex_);
  const auto it = bias_.find(channel);
  return it == bias_.end() ? polarity{0} : it->second;
}

std::optional<gain_mode> channel_settings::gain_of(std::uint16_t channel) const {
  std::lock_guard lock(mutex_);
  const auto it = gains_.find(channel);
  if (it == gains_.end()) return std::nullopt;
  return it->second;
}

channel_settings::frozen_layout channel_settings::freeze_for_stream() {
  std::lock_guard lock(mutex_);
  stream_channels_.assign(enabled_.begin(), enabled_.end());
  return {stream_channels_, gains_};
}

std::int64_t channel_settings::index_in_stream(std::uint16_t channel) const {
  std::lock_guard lock(mutex_);
  const auto it = std::lower_bound(stream_channels_.begin(), stream_channels_.end(), channel);
  if (it == stream_channels_.end() || *it != channel) return -1;
  return it - stream_channels_.begin();
}

channel_settings::upload_view channel_settings::for_upload(std::size_t electrodes, bool keep_default_gains) {
  upload_view view;
  view.electrode_gains.resize(electrodes);
  view.electrode_enabled.resize(electrodes);
  view.electrode_biased.resize(electrodes);
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < electrodes; ++i) {
    const auto channel = static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_MEASUREMENT + i);
    view.electrode_biased[i] = bias_.count(channel) != 0;
    if (enabled_.count(channel) == 0) continue;
    view.electrode_enabled[i] = true;
    const auto gain = gains_.find(channel);
    view.electrode_gains[i] = gain != gains_.end() ? gain->second : gain_mode{};
    if (keep_default_gains) gains_[channel] = view.electrode_gains[i];
  }
  view.impedance_mode = impedance_mode_.load(std::memory_order_relaxed);
  view.rate = rate_.load(std::memory_order_relaxed);
  return view;
}

void channel_settings::reset() {
  std::lock_guard lock(mutex_);
  enabled_.clear();
  gains_.clear();
  bias_.clear();
  stream_channels_.clear();
  impedance_mode_.store(0, std::memory_order_relaxed);
}

}  // namespace calyra::core
