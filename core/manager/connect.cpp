// Connection: find the headset by name, open the link, then initialise the
// manager from what the device reports (device_setup.cpp).
#include <iostream>
#include <string>
#include <string_view>

#include "ble/adapter.h"
#include "manager/device_support_error.h"
#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

namespace {

constexpr int search_attempts = 50;
constexpr int scan_duration_ms = 100;

// First the paired peripherals, then the scan results (a match there
// replaces one from the paired list); names compare byte for byte.
bool find_peripheral(ble::Adapter& adapter, std::string_view name, ble::Peripheral& found) {
  for (int attempt = 0; attempt < search_attempts; ++attempt) {
    adapter.scan_for(scan_duration_ms);
    auto results = adapter.scan_get_results();
    auto paired = adapter.get_paired_peripherals();
    bool matched = false;
    for (auto& candidate : paired) {
      if (candidate.identifier() == name) {
        found = candidate;
        matched = true;
        break;
      }
    }
    for (auto& candidate : results) {
      if (candidate.identifier() == name) {
        found = candidate;
        matched = true;
        break;
      }
    }
    if (matched) return true;
  }
  return false;
}

}  // namespace

error eeg_manager_implementation::connect(const char* name, connect_callback callback,
                                          void* user_data) {
  try {
    return connect_guarded(name, callback, user_data);
  } catch (const std::exception& e) {
    // Only the search (before any callback is due) can get here.
    log(log_level::ERROR, [&](std::ostream& out) { out << "Error while connecting: " << e.what(); });
    return error::CONNECTION_ERROR;
  }
}

error eeg_manager_implementation::connect_guarded(const char* name, connect_callback callback,
                                                  void* user_data) {
  if (!ble::Adapter::bluetooth_enabled()) {
    logger::log_text(log_level::ERROR, "Bluetooth not enabled");
    return error::BLUETOOTH_DISABLED;
  }
  logger::log_text(log_level::INFO, "Bluetooth is enabled");

  auto adapters = ble::Adapter::get_adapters();
  if (adapters.empty()) {
    logger::log_text(log_level::ERROR, "Bluetooth adapter not found");
    return error::ADAPTER_NOT_FOUND;
  }
  logger::log_text(log_level::INFO, "Bluetooth adapter found");

  const std::string_view wanted = name != nullptr ? name : "";
  ble::Peripheral found;
  if (!find_peripheral(adapters.front(), wanted, found)) {
    logger::log(log_level::ERROR,
                [&](std::ostream& out) { out << "Device with name " << wanted << " not found"; });
    connected = false;
    return error::DEVICE_NOT_FOUND;
  }

  const auto fail = [&](error code) {
    connected = false;
    // The link, if it was opened, is closed again: a manager that reports
    // "not connected" must not keep a link (or handlers) it can no longer
    // release.
    release_peripheral_hooks();
    try {
      peripheral.disconnect();
    } catch (const std::exception&) {
      // The link never came up or is already gone.
    }
    log_text(log_level::WARNING, "Connect failed");
    if (callback != nullptr) callback(false, user_data);
    log_text(log_level::DEBUG, "Future callback done");
    return code;
  };

  try {
    peripheral_name = found.identifier();
    log(log_level::INFO, [&](std::ostream& out) { out << "Connecting to " << peripheral_name; });
    // A previous connection's handlers must not outlive it.
    if (peripheral.initialized() && connected.load()) release_peripheral_hooks();
    peripheral = found;
    peripheral.connect();
    connected = true;
    holds_peripheral_hooks = true;
    peripheral.set_callback_on_disconnected([this] { on_link_lost(); });

    reset_streaming_state();
    initialise_device();
  } catch (const device_support_error& e) {
    log(log_level::ERROR, [&](std::ostream& out) { out << "Unsupported device: " << e.what(); });
    return fail(error::UNSUPPORTED_DEVICE);
  } catch (const std::exception& e) {
    // BLE failures, and model or revision texts that do not parse.
    log(log_level::ERROR, [&](std::ostream& out) { out << "Error while connecting: " << e.what(); });
    std::cout << "Error while connecting: " << e.what() << '\n';
    return fail(error::CONNECTION_ERROR);
  }

  if (callback != nullptr) callback(compatible, user_data);
  log_text(log_level::DEBUG, "Future callback done");
  return compatible ? error::OK : error::UNSUPPORTED_DEVICE;
}

bool eeg_manager_implementation::is_connected() {
  if (!connected.load()) {
    log_text(log_level::INFO, "No connection to device");
    return false;
  }
  return peripheral.is_connected();
}

void eeg_manager_implementation::reset_streaming_state() {
  {
    std::lock_guard lock(stream_mutex);
    for (auto& buffer : float32_buffers) buffer.clear();
    for (auto& buffer : uint8_buffers) buffer.clear();
    for (auto& buffer : uint64_buffers) buffer.clear();
    for (auto& buffer : float64_buffers) buffer.clear();
    chunk_sample_count = 0;
    join_jobs = {};  // dropped unrun
    streaming = false;
    current_sample = 0;
    join_target_sample = 0;
  }
  reset_stream_settings();
}

void eeg_manager_implementation::on_link_lost() {
  disconnect_callback_fn callback = nullptr;
  void* user_data = nullptr;
  {
    std::lock_guard lock(disconnect_callback_mutex);
    callback = disconnect_callback;
    user_data = disconnect_callback_data;
  }
  // Called outside the lock and as the very last thing: the host may free
  // the manager from inside its callback.
  if (callback != nullptr) callback(user_data);
}

}  // namespace calyra::core
