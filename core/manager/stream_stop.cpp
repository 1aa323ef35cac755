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
  // A disconnect or link loss that got the lock first has ended the stream.
  if (!connected.load()) {
    log_text(log_level::INFO, "Unable to stop stream - no connection to device");
    return error::OK;
  }
  std::uint64_t final_sample = 0;
  {
    std::lock_guard lock(stream_mutex);
    // Read before logging: the decoder logs under its own lock, so its lock
    // must never be taken inside the logger's.
    const auto missed = decoder_.missed_packets();
    log(log_level::INFO, [&](std::ostream& out) { out << "Missed packets: " << missed; });
    log_text(log_level::INFO, "Stopping stream...");
    final_sample = decoder_.end();
  }

  // Neither call may run under stream_mutex: the unsubscription waits for a
  // notification being decoded, and decoding takes that lock. The local
  // stream ends even when the stop command fails: the subscription goes
  // either way, so a stream that reports running would never deliver again.
  const error sent = handle_errors([&] {
    write_characteristic(gatt::role::stream_control, {0x00});
    return error::OK;
  });
  const error unsubscribed = handle_errors([&] {
    const auto data = gatt::uuids(gatt::role::stream_data);
    peripheral.unsubscribe(data.service, data.characteristic);
    return error::OK;
  });

  {
    // streaming turns false and the stop completes in one critical section,
    // so a start can only queue before it or find the stop complete after.
    std::lock_guard lock(stream_mutex);
    streaming = false;
    stream_subscribed = false;
    log_text(log_level::INFO, "Stream stopped");
    log(log_level::DEBUG, [&](std::ostream& out) { out << "Final sample: " << final_sample; });
    if (sent != error::OK || unsubscribed != error::OK) {
      service_chunks();
      reset_stream_settings();
      drop_queued_starts("the stream did not stop cleanly");
    } else {
      log_text(log_level::INFO, "Joining stream...");
      complete_stop(callback, user_data);
      service_joins();
    }
  }
  finish_start_rollback();
  log_text(log_level::DEBUG, "Future callback done");
  return sent != error::OK ? sent : unsubscribed;
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
