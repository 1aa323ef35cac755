#include "runtime/last_error.h"

#include <new>

namespace calyra::core::last_error {

namespace {

struct thread_text {
  std::string text;
  bool recorded = false;
};

thread_text& mine() {
  thread_local thread_text instance;
  return instance;
}

}  // namespace

void clear() noexcept {
  thread_text& t = mine();
  t.text.clear();  // keeps the capacity: no allocation on the next record
  t.recorded = false;
}

void record(std::string_view text) noexcept {
  thread_text& t = mine();
  if (t.recorded) return;
  try {
    t.text.assign(text);
  } catch (const std::bad_alloc&) {
    t.text.clear();
    return;
  }
  t.recorded = true;
}

bool recorded() noexcept { return mine().recorded; }

const char* text() noexcept { return mine().text.c_str(); }

const char* describe(error code) noexcept {
  switch (code) {
    case error::OK: return "OK (success)";
    case error::CONNECTION_ERROR: return "CONNECTION_ERROR (no connection, or a BLE operation failed)";
    case error::UNSUPPORTED_DEVICE: return "UNSUPPORTED_DEVICE (the device or its firmware is not supported)";
    case error::UNSUPPORTED_SAMPLE_RATE:
      return "UNSUPPORTED_SAMPLE_RATE (the connected model does not accept the rate)";
    case error::BLUETOOTH_DISABLED: return "BLUETOOTH_DISABLED (Bluetooth is switched off or blocked)";
    case error::ADAPTER_NOT_FOUND: return "ADAPTER_NOT_FOUND (no Bluetooth adapter)";
    case error::ADAPTER_INDEX_NOT_FOUND:
      return "ADAPTER_INDEX_NOT_FOUND (the configured adapter_index names no adapter)";
    case error::PRECONDITION_FAILED:
      return "PRECONDITION_FAILED (the operation cannot start in the present state)";
    case error::UPDATE_FAILED: return "UPDATE_FAILED (the device did not confirm the firmware update)";
    case error::UPDATE_EXCEPTION: return "UPDATE_EXCEPTION (the firmware update stopped on an error)";
    case error::NOT_STREAMING: return "NOT_STREAMING (the operation needs a running stream)";
    case error::DEVICE_NOT_FOUND: return "DEVICE_NOT_FOUND (no device with the requested name)";
    case error::NOT_INITIALIZED: return "NOT_INITIALIZED (cy_core_init has not been called)";
  }
  return "an unknown result code";
}

}  // namespace calyra::core::last_error
