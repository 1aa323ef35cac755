// Construction, destruction, the callback setters and the simple queries.
#include <cstdint>

#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

eeg_manager_implementation::eeg_manager_implementation()
    : log_prefix("[eeg_manager] (" + gatt::to_hex(reinterpret_cast<std::uintptr_t>(this)) + "): ") {
  log_text(log_level::INFO, "Created manager");
}

eeg_manager_implementation::~eeg_manager_implementation() {
  // The stream subscription and the peripheral's hooks are gone (waiting for
  // a handler that is running) before anything below is destroyed, so no BLE
  // thread can reach this object afterwards.
  disconnect();
  // Also when disconnect had nothing to do: a start racing a disconnect may
  // have registered a handler again.
  if (holds_peripheral_hooks.load()) release_peripheral_hooks();
  log_text(log_level::INFO, "Destroying manager");
  try {
    clear_annotations();
  } catch (...) {
    // Releasing memory does not fail; nothing to report from a destructor.
  }
}

const cy_device_info* eeg_manager_implementation::get_device_info() const { return &device_info; }

bool eeg_manager_implementation::is_streaming() const {
  std::lock_guard lock(stream_mutex);
  return streaming;
}

void eeg_manager_implementation::set_callback_chunk(chunk_callback_fn callback, void* user_data) {
  std::lock_guard lock(chunk_callback_mutex);
  chunk_callback = callback;
  chunk_callback_data = user_data;
}

void eeg_manager_implementation::set_callback_battery(battery_callback_fn callback,
                                                      void* user_data) {
  std::lock_guard lock(battery_callback_mutex);
  battery_callback = callback;
  battery_callback_data = user_data;
}

void eeg_manager_implementation::set_callback_disconnect(disconnect_callback_fn callback,
                                                         void* user_data) {
  std::lock_guard lock(disconnect_callback_mutex);
  disconnect_callback = callback;
  disconnect_callback_data = user_data;
}

}  // namespace calyra::core
