// The deferred join jobs and the channel positions of the stream layout.
#include <algorithm>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

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
  // Callers pass only streamed channels.
  const auto position = static_cast<std::size_t>(settings_.index_in_stream(channel));
  const auto& types = decoder_.channel_types();
  const std::uint8_t type = types[position];
  return static_cast<std::size_t>(
      std::count(types.begin(), types.begin() + static_cast<std::ptrdiff_t>(position), type));
}

}  // namespace calyra::core
