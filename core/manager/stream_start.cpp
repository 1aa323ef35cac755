// Stream start: the entry with its error wrapper, and the start sequence,
// which runs at once or, behind a running stream, when that stream's stop
// completes.
#include <chrono>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

error eeg_manager_implementation::start_stream(completion_callback callback, void* user_data) {
  if (!connected.load()) {
    return fail_logged(log_level::INFO, error::CONNECTION_ERROR,
                       [](std::ostream& out) { out << "Unable to start stream - no connection to device"; });
  }
  log_text(log_level::INFO, "Joining stream...");
  std::lock_guard operation(stream_operation_mutex);
  // Checked again under the lock: a disconnect or link loss may have won the
  // race for it, and a start must never leave a disconnected manager
  // "streaming".
  if (!connected.load()) {
    return fail_logged(log_level::INFO, error::CONNECTION_ERROR,
                       [](std::ostream& out) { out << "Unable to start stream - no connection to device"; });
  }
  warn_if_settings_not_uploaded();
  const error result = handle_errors([&]() -> error {
    std::lock_guard lock(stream_mutex);
    const auto job = [this, callback, user_data] {
      log_text(log_level::INFO, "Joined stream");
      run_start_sequence(callback, user_data);
      log_text(log_level::INFO, "Future callback done");
    };
    // Behind a running stream the start waits for its stop to complete.
    if (streaming) {
      join_jobs.emplace(job);
      return error::OK;
    }
    if (const error fit = check_packets_fit_link(); fit != error::OK) return fit;
    service_chunks();
    job();
    return error::OK;
  });
  finish_start_rollback();
  return result;
}

// Runs with stream_mutex held. The first notification waits for that lock,
// so it always finds the new layout and the start time in place.
void eeg_manager_implementation::run_start_sequence(completion_callback callback, void* user_data) {
  begin_stream_layout();
  try {
    // A second start queued behind the same stop finds the subscription of
    // the first in place. Subscribing again would replace it, which waits for
    // a notification that is itself waiting for stream_mutex, held here.
    if (!stream_subscribed) {
      const auto data = gatt::uuids(gatt::role::stream_data);
      stream_subscribed = true;
      peripheral.notify(data.service, data.characteristic,
                        [this](const ble::ByteArray& payload, std::int64_t arrival_ns) {
                          handle_stream_notification(payload, arrival_ns);
                        });
    }
    stream_start_time.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count(),
                            std::memory_order_relaxed);
    write_characteristic(gatt::role::stream_control, {0x01});
  } catch (...) {
    // Nothing of a failed start stays: no stream, and the subscription ends
    // as soon as stream_mutex is released (finish_start_rollback).
    streaming = false;
    stream_rollback_pending = stream_subscribed;
    stream_subscribed = false;
    throw;
  }
  log_text(log_level::INFO, "Stream started");
  if (callback != nullptr) callback(user_data);
  log_text(log_level::DEBUG, "Future callback done");
}

void eeg_manager_implementation::finish_start_rollback() noexcept {
  {
    std::lock_guard lock(stream_mutex);
    if (!stream_rollback_pending) return;
    stream_rollback_pending = false;
  }
  unsubscribe_quietly(gatt::role::stream_data);
}

}  // namespace calyra::core
