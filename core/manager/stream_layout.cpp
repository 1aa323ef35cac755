// The local half of a stream start: freezing the channel layout and gains,
// rebuilding the chunk buffers, and turning the layout into the decoding
// plan that maps every decoded value straight to its buffer.
#include <algorithm>

#include "manager/conversions.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/state.h"

namespace calyra::core {

namespace {

// Room reserved per buffer. A chunk larger than this (a huge configured
// chunk_size) grows its buffers on demand instead of reserving gigabytes up
// front.
constexpr std::size_t max_reserved_samples = std::size_t{1} << 16;

template <class T>
void rebuild_family(std::vector<std::vector<T>>& family, std::size_t channels,
                    std::size_t reserve) {
  family.clear();
  family.resize(channels);
  for (auto& buffer : family) buffer.reserve(reserve);
}

}  // namespace

void eeg_manager_implementation::begin_stream_layout() {
  {
    std::lock_guard lock(channel_settings_mutex);
    stream_channels.assign(enabled_channels.begin(), enabled_channels.end());
  }
  {
    std::lock_guard lock(gain_mutex);
    stream_gains = channel_gains;
  }

  stream_channel_data_types.clear();
  std::size_t per_type[4] = {0, 0, 0, 0};
  for (const std::uint16_t id : stream_channels) {
    const auto it = channel_data_type_map.find(id);
    const std::uint8_t type =
        it == channel_data_type_map.end() ? NO_CHANNEL_DATA_TYPE : static_cast<std::uint8_t>(it->second);
    stream_channel_data_types.push_back(type);
    if (type < 4) ++per_type[type];
  }

  const std::size_t chunk_size = static_cast<std::size_t>(current_config().chunk_size);
  const std::size_t reserve = std::min(chunk_size, max_reserved_samples);
  rebuild_family(float32_buffers, per_type[0], reserve);
  rebuild_family(uint8_buffers, per_type[1], reserve);
  rebuild_family(uint64_buffers, per_type[2], reserve);
  rebuild_family(float64_buffers, per_type[3], reserve);
  chunk_sample_count = 0;
  chunk_pointers.clear();
  chunk_pointers.reserve(stream_channels.size());

  next_expected_sample = 0;
  stream_electrodes = electrodes_streamed_by(stream_channels);
  current_sample = 0;
  // Each stream has its own clock (the headset's counter starts again); the
  // same headset's crystal drift carries over.
  stream_clock_.restart(sample_frequency_hz(data_stream_rate.load()), peripheral_name);
  streaming = true;

  undecodable_packets = 0;
  stream_stats.reset();
  plan.chunk_size = chunk_size;
  build_decode_plan();
}

void eeg_manager_implementation::build_decode_plan() {
  // The buffer of a streamed channel whose type matches the family, or null.
  const auto buffer_of = [this](std::uint16_t id, channel_data_type family_type) -> std::size_t {
    const auto it = std::lower_bound(stream_channels.begin(), stream_channels.end(), id);
    if (it == stream_channels.end() || *it != id) return SIZE_MAX;
    const auto position = static_cast<std::size_t>(it - stream_channels.begin());
    if (stream_channel_data_types[position] != static_cast<std::uint8_t>(family_type)) return SIZE_MAX;
    return get_channel_index_of_type(id);
  };

  plan.electrodes.clear();
  for (const std::uint8_t e : stream_electrodes) {
    electrode_slot slot;
    slot.electrode = e;
    const auto measurement = static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_MEASUREMENT + e);
    const auto contact = static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_CONTACT + e);
    if (const auto i = buffer_of(measurement, channel_data_type::FLOAT64); i != SIZE_MAX) {
      slot.measurement = &float64_buffers[i];
    }
    if (const auto i = buffer_of(contact, channel_data_type::UINT8); i != SIZE_MAX) {
      slot.contact = &uint8_buffers[i];
    }
    // A channel without a gain entry is scaled as X8.
    const auto gain = stream_gains.find(measurement);
    const int multiplier =
        effective_gain_multiplier(gain == stream_gains.end() ? gain_mode::X8 : gain->second);
    slot.full_scale = 4.5 / multiplier;
    plan.electrodes.push_back(slot);
  }

  plan.has_accel = features != nullptr && features->has_accel();
  plan.max_samples = features != nullptr ? features->samples_per_packet() : 0;
  for (std::size_t axis = 0; axis < accelerometer_channels.size(); ++axis) {
    const auto i = buffer_of(accelerometer_channels[axis], channel_data_type::FLOAT32);
    plan.accel[axis] = plan.has_accel && i != SIZE_MAX ? &float32_buffers[i] : nullptr;
  }
  const auto sample_number = buffer_of(eeg_channel_id::SAMPLE_NUMBER, channel_data_type::UINT64);
  plan.sample_number = sample_number != SIZE_MAX ? &uint64_buffers[sample_number] : nullptr;
  const auto flag = buffer_of(eeg_channel_id::STREAMING, channel_data_type::UINT8);
  plan.streaming_flag = flag != SIZE_MAX ? &uint8_buffers[flag] : nullptr;

  if (prev.size() < static_cast<std::size_t>(electrode_count)) prev.resize(static_cast<std::size_t>(electrode_count));
  if (last_measurements.size() < static_cast<std::size_t>(electrode_count)) {
    last_measurements.resize(static_cast<std::size_t>(electrode_count), 0.0);
  }
}

}  // namespace calyra::core
