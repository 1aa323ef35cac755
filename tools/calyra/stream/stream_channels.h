// Which channels a stream carries, where each sits in a chunk, and how a
// chunk becomes a sample_block in the order of the recording's signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recording/sample_block.h"

namespace calyra::stream {

struct channel_request {
  std::vector<unsigned> electrodes;  // 1-based, ascending
  bool contact = false;
  bool accel = false;
  bool impedance = false;  // electrode values are raw counts
  unsigned gain = 8;
};

struct stream_plan {
  std::vector<std::uint16_t> channel_ids;  // to enable; ascending, as chunks order them
  std::vector<recording::signal_description> signals;
  std::vector<std::size_t> signal_positions;  // chunk position of each signal
  std::vector<std::size_t> electrode_signals;  // indices into signals of the electrodes
  std::size_t sample_number_position = 0;
  std::size_t streaming_position = 0;
};

// Builds the plan: electrodes, then contact flags, then the accelerometer
// axes, as signals; sample number and streaming flag as bookkeeping columns.
stream_plan plan_stream(const channel_request& request);

// Converts one chunk. `types` are the element types in chunk order
// (cy_eeg_manager_get_stream_channel_data_types); a channel whose pointer is
// null or whose type is unknown reads as zeros.
void convert_chunk(const stream_plan& plan, const void* const* channel_data,
                   const std::uint8_t* types, std::size_t type_count, std::size_t sample_count,
                   recording::sample_block& out);

// Largest magnitude an electrode can report in microvolts at `gain`: the
// 24-bit full scale of the amplifier's 4.5 V reference.
double electrode_full_scale_uv(unsigned gain);

}  // namespace calyra::stream
