// The local half of a stream start: freezing the channel layout and gains
// and starting the decoder and the clock on them.
#include <algorithm>

#include "manager/conversions.h"
#include "manager/eeg_manager_implementation.h"
#include "library/state.h"

namespace calyra::core {

void eeg_manager_implementation::begin_stream_layout() {
  {
    std::lock_guard lock(channel_settings_mutex);
    stream_channels.assign(enabled_channels.begin(), enabled_channels.end());
  }
  {
    std::lock_guard lock(gain_mutex);
    stream_gains = channel_gains;
  }

  decoder_layout layout;
  layout.channels = stream_channels;
  for (const std::uint16_t id : stream_channels) {
    const auto it = channel_data_type_map.find(id);
    layout.types.push_back(it == channel_data_type_map.end() ? NO_CHANNEL_DATA_TYPE
                                                             : static_cast<std::uint8_t>(it->second));
  }
  layout.gains = stream_gains;
  layout.model = features;
  layout.difference_mask = difference_mask;
  layout.chunk_size = static_cast<std::size_t>(current_config().chunk_size);
  decoder_.start(std::move(layout));

  // Each stream has its own clock (the headset's counter starts again); the
  // same headset's crystal drift carries over.
  stream_clock_.restart(sample_frequency_hz(data_stream_rate.load()), peripheral_name);
  streaming = true;
}

}  // namespace calyra::core
