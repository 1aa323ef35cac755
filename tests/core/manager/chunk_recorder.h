// Test helper: a chunk callback that copies every chunk it receives, channel
// by channel, converting each element to double (sample numbers stay exact
// below 2^53). Safe to read from the test thread once the stream has ended
// or under lock().
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "cycore/eeg_manager.h"

namespace calyra::core::testing {

struct recorded_chunk {
  std::size_t sample_count = 0;
  std::vector<std::vector<double>> channels;  // chunk order
  std::vector<bool> null_pointer;             // per channel
  std::vector<std::uint8_t> types;            // per channel
};

class chunk_recorder {
 public:
  // Registers itself as the chunk callback of `manager`.
  void attach(cy_eeg_manager* manager) {
    manager_ = manager;
    cy_eeg_manager_set_callback_chunk(manager, &chunk_recorder::on_chunk, this);
  }

  std::vector<recorded_chunk> chunks() const {
    std::lock_guard lock(mutex_);
    return chunks_;
  }
  std::size_t chunk_count() const {
    std::lock_guard lock(mutex_);
    return chunks_.size();
  }
  std::vector<std::size_t> sizes() const {
    std::lock_guard lock(mutex_);
    std::vector<std::size_t> out;
    for (const auto& c : chunks_) out.push_back(c.sample_count);
    return out;
  }
  std::size_t total_samples() const {
    std::size_t total = 0;
    for (const std::size_t n : sizes()) total += n;
    return total;
  }
  // Every value of channel position `index`, over all chunks.
  std::vector<double> channel(std::size_t index) const {
    std::lock_guard lock(mutex_);
    std::vector<double> out;
    for (const auto& c : chunks_) {
      if (index < c.channels.size()) out.insert(out.end(), c.channels[index].begin(), c.channels[index].end());
    }
    return out;
  }
  // The sample numbers of every chunk that carries them. The sample number
  // channel has the smallest id, so when streamed it is always the first
  // channel, and the only one of type UINT64.
  std::vector<double> sample_numbers() const {
    std::lock_guard lock(mutex_);
    std::vector<double> out;
    for (const auto& c : chunks_) {
      if (!c.types.empty() && c.types[0] == CY_CHANNEL_UINT64) {
        out.insert(out.end(), c.channels[0].begin(), c.channels[0].end());
      }
    }
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    chunks_.clear();
  }

 private:
  static void on_chunk(const void* const* data, std::size_t count, void* self_pointer) {
    auto* self = static_cast<chunk_recorder*>(self_pointer);
    const std::uint8_t* types = nullptr;
    std::size_t channels = 0;
    cy_eeg_manager_get_stream_channel_data_types(self->manager_, &types, &channels);
    recorded_chunk chunk;
    chunk.sample_count = count;
    chunk.types.assign(types, types + channels);
    for (std::size_t c = 0; c < channels; ++c) {
      std::vector<double> values;
      chunk.null_pointer.push_back(data[c] == nullptr);
      if (data[c] != nullptr) {
        for (std::size_t i = 0; i < count; ++i) values.push_back(element(types[c], data[c], i));
      }
      chunk.channels.push_back(std::move(values));
    }
    std::lock_guard lock(self->mutex_);
    self->chunks_.push_back(std::move(chunk));
  }

  static double element(std::uint8_t type, const void* data, std::size_t i) {
    switch (type) {
      case CY_CHANNEL_FLOAT32: return static_cast<const float*>(data)[i];
      case CY_CHANNEL_UINT8: return static_cast<const std::uint8_t*>(data)[i];
      case CY_CHANNEL_UINT64: return static_cast<double>(static_cast<const std::uint64_t*>(data)[i]);
      case CY_CHANNEL_FLOAT64: return static_cast<const double*>(data)[i];
      default: return 0.0;
    }
  }

  cy_eeg_manager* manager_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<recorded_chunk> chunks_;
};

}  // namespace calyra::core::testing
