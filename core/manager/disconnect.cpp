// Disconnect and the release of the peripheral's hooks.
#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

void eeg_manager_implementation::disconnect() {
  if (!connected.load()) {
    log_text(log_level::INFO, "Unable to disconnect - no connection to device");
    return;
  }
  // Clearing the hooks waits for a handler that is running. A disconnect
  // callback in progress may itself call disconnect (a host reacting to the
  // link loss): no lock of ours may be held while waiting for it. Clearing
  // the link-loss hook first also means that a disconnect the host asked for
  // does not call the disconnect callback.
  release_peripheral_hooks();

  std::lock_guard operation(stream_operation_mutex);
  if (!connected.load()) return;  // disconnected meanwhile, from the callback
  try {
    clear_annotations();
  } catch (const std::exception& e) {
    log(log_level::ERROR, [&](std::ostream& out) { out << "Clearing annotations failed: " << e.what(); });
  }
  // Ends the local stream: a start that ran after the hooks were released
  // subscribed again. Afterwards no notification can arrive, so is_streaming
  // never reports true for a disconnected manager.
  unsubscribe_quietly(gatt::role::stream_data);
  {
    std::lock_guard lock(stream_mutex);
    streaming = false;
    stream_subscribed = false;
    current_sample = 0;
    join_target_sample = 0;
  }

  try {
    peripheral.disconnect();
  } catch (const std::exception& e) {
    // A link that is already down cannot be closed again; the manager ends up
    // disconnected all the same.
    log(log_level::WARNING, [&](std::ostream& out) { out << "Closing the link failed: " << e.what(); });
  }
  connected = false;
  log_text(log_level::INFO, "Disconnected");

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

void eeg_manager_implementation::release_peripheral_hooks() noexcept {
  if (!peripheral.initialized()) return;
  // Each removal waits for a running handler of its own to return (unless
  // called from inside it), so none of them may run under stream_mutex.
  for (const gatt::role role : {gatt::role::stream_data, gatt::role::battery_status, gatt::role::ota_status}) {
    unsubscribe_quietly(role);
  }
  {
    std::lock_guard lock(stream_mutex);
    stream_subscribed = false;
  }
  try {
    peripheral.set_callback_on_disconnected({});
  } catch (...) {
  }
  holds_peripheral_hooks = false;
}

}  // namespace calyra::core
