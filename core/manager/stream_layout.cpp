// The local half of a stream start: freezing the channel layout and gains
// and starting the decoder and the clock on them.
#include <utility>

#include "manager/conversions.h"
#include "manager/eeg_manager_implementation.h"
#include "library/state.h"

namespace calyra::core {

void eeg_manager_implementation::begin_stream_layout() {
  channel_settings::frozen_layout frozen = settings_.freeze_for_stream();
  decoder_layout layout;
  layout.channels = std::move(frozen.channels);
  for (const std::uint16_t id : layout.channels) {
    const auto it = channel_data_type_map.find(id);
    layout.types.push_back(it == channel_data_type_map.end() ? NO_CHANNEL_DATA_TYPE
                                                             : static_cast<std::uint8_t>(it->second));
  }
  layout.gains = std::move(frozen.gains);
  layout.model = features;
  layout.difference_mask = difference_mask;
  layout.chunk_size = static_cast<std::size_t>(current_config().chunk_size);
  decoder_.start(std::move(layout));

  // Each stream has its own clock (the headset's counter starts again); the
  // same headset's crystal drift carries over.
  stream_clock_.restart(sample_frequency_hz(settings_.rate()), peripheral_name);
  streaming = true;
}

}  // namespace calyra::core
