// Construction, destruction, the callback setters and the simple queries.
#include <cstdint>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

eeg_manager_implementation::eeg_manager_implementation()
    : log_prefix("[eeg_manager] (" + gatt::to_hex(reinterpret_cast<std::uintptr_t>(this)) + "): ") {
  log_text(log_level::INFO, "Created manager");
}

eeg_manager_implementation::~eeg_manager_implementation() {
  {
    // Waits for a link-loss callback that is running (unless this is called
    // from inside it) and for an operation on another thread, such as a
    // disconnect delivering its final chunk. Then every handler of this
    // manager is released, so no BLE thread can reach this object afterwards.
    const std::unique_lock operation = lock_operations_without_link_hook();
    if (connected.load() || peripheral.initialized())
      close_link();
    else
      log_text(log_level::INFO, "Unable to disconnect - no connection to device");
  }
  log_text(log_level::INFO, "Destroying manager");
}

const cy_device_info* eeg_manager_implementation::get_device_info() const { return &device_info; }

bool eeg_manager_implementation::is_streaming() const {
  std::lock_guard lock(stream_mutex);
  return streaming;
}

void eeg_manager_implementation::set_callback_chunk(chunk_callback_fn callback, void* user_data) {
  chunk_callback_.set(callback, user_data);
}

void eeg_manager_implementation::set_callback_battery(battery_callback_fn callback,
                                                      void* user_data) {
  battery_callback_.set(callback, user_data);
}

void eeg_manager_implementation::set_callback_disconnect(disconnect_callback_fn callback,
                                                         void* user_data) {
  disconnect_callback_.set(callback, user_data);
}

}  // namespace calyra::core
