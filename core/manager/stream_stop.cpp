// Stream stop. Once stream_data is unsubscribed no later notification can
// arrive, so the stop completes right here on the stopping thread: the last
// partial chunk goes out, the host's callback runs, the settings are reset,
// and the starts queued behind the stop run in order.
#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

error eeg_manager_implementation::stop_stream(completion_callback callback, void* user_data) {
  if (!connected.load()) {
    log_text(log_level::INFO, "Unable to stop stream - no connection to device");
    return error::OK;
  }
  std::lock_guard operation(stream_operation_mutex);
  std::uint64_t target = 0;
  {
    std::lock_guard lock(stream_mutex);
    log(log_level::INFO, [&](std::ostream& out) { out << "Missed packets: " << missed_packet_count; });
    log_text(log_level::INFO, "Stopping stream...");
    join_target_sample = current_sample;
    current_sample = 0;
    target = join_target_sample;
  }

  // Neither call may run under stream_mutex: the unsubscription waits for a
  // notification being decoded, and decoding takes that lock.
  const error sent = handle_errors([&] {
    write_characteristic(gatt::role::stream_control, {0x00});
    const auto data = gatt::uuids(gatt::role::stream_data);
    peripheral.unsubscribe(data.service, data.characteristic);
    return error::OK;
  });
  if (sent != error::OK) return sent;

  {
    // streaming turns false and the stop completes in one critical section,
    // so a start can only queue before it or find the stop complete after.
    std::lock_guard lock(stream_mutex);
    streaming = false;
    stream_subscribed = false;
    log_text(log_level::INFO, "Stream stopped");
    log(log_level::DEBUG, [&](std::ostream& out) { out << "Final sample: " << target; });
    log_text(log_level::INFO, "Joining stream...");
    complete_stop(callback, user_data);
    // The stream has ended: nothing is left to join, so later starts run at
    // once instead of waiting for a sample that can no longer come.
    join_target_sample = 0;
    service_joins();
  }
  log_text(log_level::DEBUG, "Future callback done");
  return error::OK;
}

// Caller holds stream_mutex.
void eeg_manager_implementation::complete_stop(completion_callback callback, void* user_data) {
  service_chunks();
  log_text(log_level::INFO, "Joined stream");
  if (callback != nullptr) callback(user_data);
  reset_stream_settings();
  log_text(log_level::INFO, "Future callback done");
}

}  // namespace calyra::core
