// Connection: find the headset by name, open the link, then initialise the
// manager from what the device reports (device_setup.cpp).
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "ble/adapter.h"
#include "ble/ble_error.h"
#include "manager/device_support_error.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/console.h"

namespace calyra::core {

namespace {

constexpr int search_attempts = 50;
constexpr int scan_duration_ms = 100;

// First the paired peripherals, then the scan results (a match there
// replaces one from the paired list); names compare byte for byte. Without a
// match, `seen` holds the names of the last attempt, for the failure text.
bool find_peripheral(ble::Adapter& adapter, std::string_view name, ble::Peripheral& found,
                     std::vector<std::string>& seen) {
  for (int attempt = 0; attempt < search_attempts; ++attempt) {
    adapter.scan_for(scan_duration_ms);
    auto results = adapter.scan_get_results();
    auto paired = adapter.get_paired_peripherals();
    seen.clear();
    for (auto* list : {&paired, &results}) {
      for (auto& candidate : *list) {
        std::string seen_name = candidate.identifier();
        if (!seen_name.empty() && std::find(seen.begin(), seen.end(), seen_name) == seen.end()) {
          seen.push_back(std::move(seen_name));
        }
      }
    }
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
  // A manager holding a link closes it first, exactly as disconnect does: the
  // final chunk is delivered, the stream ends and every handler of the old
  // link is released before anything of the new one is written.
  const std::unique_lock operation = lock_operations_without_link_hook();
  if (connected.load() || peripheral.initialized()) close_link();

  error result = error::CONNECTION_ERROR;
  try {
    result = open_link(name);
  } catch (const device_support_error& e) {
    result = fail_logged(log_level::ERROR, error::UNSUPPORTED_DEVICE,
                         [&](std::ostream& out) { out << "Unsupported device: " << e.what(); });
  } catch (const std::exception& e) {
    // BLE failures, and model or revision texts that do not parse.
    result = fail_logged(log_level::ERROR, error::CONNECTION_ERROR,
                         [&](std::ostream& out) { out << "Error while connecting: " << e.what(); });
    // The log holds the same line already.
    console::write_line(console::channel::standard_output, std::string("Error while connecting: ") + e.what(),
                        std::nullopt);
  }
  if (connected.load()) {
    if (callback != nullptr) callback(compatible, user_data);
    log_text(log_level::DEBUG, "Future callback done");
    if (compatible) return error::OK;
    return fail(error::UNSUPPORTED_DEVICE, [&](std::ostream& out) {
      const auto version = [&out](const cy_version& v) {
        out << unsigned{v.major} << '.' << unsigned{v.minor} << '.' << unsigned{v.patch};
      };
      out << peripheral_name << " is connected, but its hardware ";
      version(device_info.hardware_version);
      out << " or firmware ";
      version(device_info.firmware_version);
      out << " is not compatible with this library (update the headset's firmware)";
    });
  }
  if (result == error::BLUETOOTH_DISABLED || result == error::ADAPTER_NOT_FOUND ||
      result == error::DEVICE_NOT_FOUND) {
    return result;  // no link was opened
  }

  // A manager that reports "not connected" keeps no link and no handler. The
  // hook of this attempt can be removed under the lock: the manager never
  // reported connected, so the link-loss handler calls no host code.
  remove_link_hook(peripheral);
  link_hook_registered = false;
  close_link();
  log_text(log_level::WARNING, "Connect failed");
  if (callback != nullptr) callback(false, user_data);
  log_text(log_level::DEBUG, "Future callback done");
  return result;
}

namespace {

constexpr std::string_view bluetooth_off_text =
    "Connecting: Bluetooth is switched off or blocked (switch it on, e.g. `rfkill unblock bluetooth` and "
    "`bluetoothctl power on`)";

// Names each adapter that is switched off, after "Bluetooth not enabled".
void log_adapters_off(std::vector<ble::Adapter>& adapters) {
  for (ble::Adapter& adapter : adapters) {
    if (adapter.powered()) continue;
    logger::log(log_level::ERROR,
                [&](std::ostream& out) { out << "Bluetooth adapter " << adapter.identifier() << " is off"; });
  }
}

}  // namespace

error eeg_manager_implementation::open_link(const char* name) {
  if (!ble::Adapter::bluetooth_enabled()) {
    logger::log_text(log_level::ERROR, "Bluetooth not enabled");
    auto adapters = ble::Adapter::get_adapters();
    log_adapters_off(adapters);
    return fail(error::BLUETOOTH_DISABLED, bluetooth_off_text);
  }
  logger::log_text(log_level::INFO, "Bluetooth is enabled");

  auto adapters = ble::Adapter::get_adapters();
  if (adapters.empty()) {
    logger::log_text(log_level::ERROR, "Bluetooth adapter not found");
    return fail(error::ADAPTER_NOT_FOUND, "Connecting: this machine has no Bluetooth adapter");
  }
  logger::log_text(log_level::INFO, "Bluetooth adapter found");
  // The first adapter that is switched on: one that is off can neither scan
  // nor connect.
  const auto on = std::find_if(adapters.begin(), adapters.end(), [](ble::Adapter& a) { return a.powered(); });
  if (on == adapters.end()) {
    log_adapters_off(adapters);
    return fail(error::BLUETOOTH_DISABLED, bluetooth_off_text);
  }

  const std::string_view wanted = name != nullptr ? name : "";
  ble::Peripheral found;
  bool seen = false;
  std::vector<std::string> names_seen;
  try {
    seen = find_peripheral(*on, wanted, found, names_seen);
  } catch (const ble::adapter_off_error& e) {
    logger::log(log_level::ERROR, [&](std::ostream& out) { out << e.what(); });
    // Switched off since: no link was opened.
    return fail(error::BLUETOOTH_DISABLED,
                [&](std::ostream& out) { out << "Connecting: the adapter was switched off: " << e.what(); });
  }
  if (!seen) {
    logger::log(log_level::ERROR,
                [&](std::ostream& out) { out << "Device with name " << wanted << " not found"; });
    return fail(error::DEVICE_NOT_FOUND, [&](std::ostream& out) {
      out << "No device named \"" << wanted << "\" was seen (names compare exactly); ";
      if (names_seen.empty()) {
        out << "the scan saw no device";
        return;
      }
      out << "seen: ";
      for (std::size_t i = 0; i < names_seen.size(); ++i) out << (i ? ", " : "") << '"' << names_seen[i] << '"';
    });
  }

  peripheral_name = found.identifier();
  log(log_level::INFO, [&](std::ostream& out) { out << "Connecting to " << peripheral_name; });
  {
    std::lock_guard lock(peripheral_mutex);
    peripheral = found.with_owner(owner);
  }
  {
    std::lock_guard lock(stream_mutex);
    link_lost_during_connect = false;
  }
  // The hook goes in before the link opens, so that a drop at any moment
  // after connect() is seen.
  peripheral.set_callback_on_disconnected([this] { on_link_lost(); });
  link_hook_registered = true;
  ++link_hook_generation;
  peripheral.connect();

  reset_streaming_state();
  forget_uploaded_config();
  initialise_device();

  std::lock_guard lock(stream_mutex);
  if (link_lost_during_connect || !peripheral.is_connected()) {
    throw ble::not_connected_error(peripheral_name + ": the link dropped while connecting");
  }
  connected = true;
  return error::OK;
}

ble::Peripheral eeg_manager_implementation::current_peripheral() const {
  std::lock_guard lock(peripheral_mutex);
  return peripheral;
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
    decoder_.discard();
    join_jobs = {};  // dropped unrun
    streaming = false;
  }
  reset_stream_settings();
}

// Link loss (backend thread). The manager ends its side here, so that after
// a loss it is neither connected nor streaming whatever the host does next:
// the final chunk goes out and starts queued behind the stream are dropped,
// since no stop can reach them any more.
void eeg_manager_implementation::on_link_lost() {
  bool was_connected = false;
  {
    std::lock_guard lock(stream_mutex);
    link_lost_during_connect = true;
    // During a connect the manager has not reported a link yet: the connect
    // fails and the host hears of it there.
    was_connected = connected.exchange(false);
    if (!was_connected) return;
    streaming = false;
    stream_subscribed = false;
    drop_queued_starts("the link was lost");
    decoder_.end();
    try {
      service_chunks();
    } catch (const std::exception& e) {
      log(log_level::ERROR, [&](std::ostream& out) { out << "Final chunk delivery failed: " << e.what(); });
    }
  }
  log_text(log_level::WARNING, "Connection lost");

  const auto [callback, user_data] = disconnect_callback_.current();
  // Called outside the locks and as the very last thing: the host may
  // connect, disconnect or free the manager from inside its callback.
  if (callback != nullptr) callback(user_data);
}

}  // namespace calyra::core
