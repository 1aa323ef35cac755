// Stream start: the entry with its error wrapper, and the start sequence,
// which runs at once or, behind a running or draining stream, as a join job.
#include <chrono>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

error eeg_manager_implementation::start_stream(completion_callback callback, void* user_data) {
  return handle_errors([&]() -> error {
    if (!connected.load()) {
      log_text(log_level::INFO, "Unable to start stream - no connection to device");
      return error::CONNECTION_ERROR;
    }
    log_text(log_level::INFO, "Joining stream...");
    std::lock_guard operation(stream_operation_mutex);
    std::lock_guard lock(stream_mutex);
    join_stream([this, callback, user_data] {
      log_text(log_level::INFO, "Joined stream");
      run_start_sequence(callback, user_data);
      log_text(log_level::INFO, "Future callback done");
    });
    return error::OK;
  });
}

// Runs with stream_mutex held. The first notification waits for that lock,
// so it always finds the new layout and the start time in place.
void eeg_manager_implementation::run_start_sequence(completion_callback callback, void* user_data) {
  begin_stream_layout();
  // A second start queued behind the same stop finds the subscription of the
  // first in place. Subscribing again would replace it, which waits for a
  // notification that is itself waiting for stream_mutex, held here.
  if (!stream_subscribed) {
    const auto data = gatt::uuids(gatt::role::stream_data);
    holds_peripheral_hooks = true;
    peripheral.notify(data.service, data.characteristic,
                      [this](const ble::ByteArray& payload) { handle_stream_notification(payload); });
    stream_subscribed = true;
  }
  stream_start_time.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count(),
                          std::memory_order_relaxed);
  write_characteristic(gatt::role::stream_control, {0x01});
  log_text(log_level::INFO, "Stream started");
  if (callback != nullptr) callback(user_data);
  log_text(log_level::DEBUG, "Future callback done");
}

}  // namespace calyra::core
