// Disconnect, the link-loss handler's counterpart on the host side, and the
// release of everything this manager registered with the peripheral.
#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

void eeg_manager_implementation::disconnect() {
  if (!connected.load()) {
    log_text(log_level::INFO, "Unable to disconnect - no connection to device");
    return;
  }
  // A disconnect the host asked for does not call the disconnect callback:
  // the hook goes first.
  const std::unique_lock operation = lock_operations_without_link_hook();
  if (!connected.load()) return;  // the link was lost or closed meanwhile
  close_link();
}

std::unique_lock<std::mutex> eeg_manager_implementation::lock_operations_without_link_hook() {
  std::unique_lock operation(stream_operation_mutex);
  while (link_hook_registered) {
    ble::Peripheral link = peripheral;
    const std::uint64_t generation = link_hook_generation;
    operation.unlock();
    remove_link_hook(link);
    operation.lock();
    // A connect on another thread may have registered a new hook meanwhile;
    // that one is removed in the next round.
    if (link_hook_generation == generation) link_hook_registered = false;
  }
  return operation;
}

void eeg_manager_implementation::remove_link_hook(ble::Peripheral link) noexcept {
  if (!link.initialized()) return;
  try {
    link.set_callback_on_disconnected({});
  } catch (...) {
    // The backend has nothing left to remove.
  }
}

void eeg_manager_implementation::close_link() noexcept {
  const bool was_connected = connected.load();
  try {
    clear_annotations();
  } catch (const std::exception& e) {
    log(log_level::ERROR, [&](std::ostream& out) { out << "Clearing annotations failed: " << e.what(); });
  }
  // Each removal waits for a running handler of this manager, so none of
  // them may run under stream_mutex. Afterwards no notification can arrive.
  for (const gatt::role role : {gatt::role::stream_data, gatt::role::battery_status, gatt::role::ota_status}) {
    unsubscribe_quietly(role);
  }
  {
    std::lock_guard lock(stream_mutex);
    streaming = false;
    stream_subscribed = false;
    stream_rollback_pending = false;
    drop_queued_starts("the link was closed");
    decoder_.end();
  }
  if (peripheral.initialized()) {
    try {
      peripheral.disconnect();
    } catch (const std::exception& e) {
      // A link that is already down cannot be closed again; the manager ends
      // up disconnected all the same.
      log(log_level::WARNING, [&](std::ostream& out) { out << "Closing the link failed: " << e.what(); });
    }
  }
  connected = false;
  if (!was_connected) return;  // a link loss has delivered the final chunk
  log_text(log_level::INFO, "Disconnected");

  // The samples decoded before the unsubscription still reach the host.
  std::lock_guard lock(stream_mutex);
  try {
    service_chunks();
  } catch (const std::exception& e) {
    log(log_level::ERROR, [&](std::ostream& out) { out << "Final chunk delivery failed: " << e.what(); });
  }
}

void eeg_manager_implementation::unsubscribe_quietly(gatt::role role) noexcept {
  if (!peripheral.initialized()) return;
  try {
    const auto ids = gatt::uuids(role);
    peripheral.unsubscribe(ids.service, ids.characteristic);
  } catch (...) {
    // Not subscribed, or the link is gone: nothing left to remove.
  }
}

void eeg_manager_implementation::drop_queued_starts(const char* reason) {
  if (join_jobs.empty()) return;
  log(log_level::WARNING, [&](std::ostream& out) {
    out << "Dropping " << join_jobs.size() << " queued stream start(s): " << reason;
  });
  join_jobs = {};
}

}  // namespace calyra::core
