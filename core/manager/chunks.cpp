// Chunk delivery and the deferred join jobs.
#include <algorithm>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

namespace {

template <class T>
void empty_all(std::vector<std::vector<T>>& family) {
  for (auto& buffer : family) buffer.clear();  // capacity kept
}

// A channel the decoder never feeds (an accelerometer channel enabled on a
// model without one) would otherwise hand the host an array shorter than
// sample_count; such arrays are zero-filled instead.
template <class T>
void pad_to(std::vector<std::vector<T>>& family, std::size_t count) {
  for (auto& buffer : family) {
    if (buffer.size() < count) buffer.resize(count);
  }
}

}  // namespace

void eeg_manager_implementation::service_chunks() {
  {
    std::lock_guard lock(chunk_callback_mutex);
    if (chunk_sample_count == 0) return;
    if (chunk_callback != nullptr) {
      pad_to(float32_buffers, chunk_sample_count);
      pad_to(uint8_buffers, chunk_sample_count);
      pad_to(uint64_buffers, chunk_sample_count);
      pad_to(float64_buffers, chunk_sample_count);
      chunk_pointers.clear();
      std::size_t next[4] = {0, 0, 0, 0};
      for (const std::uint8_t type : stream_channel_data_types) {
        switch (type) {
          case 0: chunk_pointers.push_back(float32_buffers[next[0]++].data()); break;
          case 1: chunk_pointers.push_back(uint8_buffers[next[1]++].data()); break;
          case 2: chunk_pointers.push_back(uint64_buffers[next[2]++].data()); break;
          case 3: chunk_pointers.push_back(float64_buffers[next[3]++].data()); break;
          default: chunk_pointers.push_back(nullptr); break;
        }
      }
      chunk_callback(chunk_pointers.data(), chunk_sample_count, chunk_callback_data);
    }
  }
  chunk_sample_count = 0;
  empty_all(float32_buffers);
  empty_all(uint8_buffers);
  empty_all(uint64_buffers);
  empty_all(float64_buffers);
  last_delivered_sample = current_sample;
}

void eeg_manager_implementation::service_joins() {
  while (!join_jobs.empty()) {
    auto job = std::move(join_jobs.front());
    join_jobs.pop();
    // A queued job runs on whatever thread reached the join point (a stop,
    // or the notification thread); its failure must not escape into that
    // thread nor keep the jobs behind it from running.
    try {
      job();
    } catch (const std::runtime_error& e) {
      log(log_level::ERROR, [&](std::ostream& out) { out << "Caught connection error: " << e.what(); });
    } catch (const std::exception& e) {
      log(log_level::ERROR, [&](std::ostream& out) { out << "Caught unexpected error: " << e.what(); });
    }
  }
}

std::size_t eeg_manager_implementation::get_channel_index_of_type(std::uint16_t channel) const {
  const auto position = static_cast<std::size_t>(
      std::lower_bound(stream_channels.begin(), stream_channels.end(), channel) -
      stream_channels.begin());
  const std::uint8_t type = stream_channel_data_types[position];
  return static_cast<std::size_t>(std::count(stream_channel_data_types.begin(),
                                             stream_channel_data_types.begin() +
                                                 static_cast<std::ptrdiff_t>(position),
                                             type));
}

}  // namespace calyra::core
