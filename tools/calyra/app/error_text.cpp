#include <cycore.h>

#include "app/failure.h"

namespace calyra::app {
namespace {

struct code_text {
  int code;
  const char* name;
  const char* meaning;
};

constexpr code_text texts[] = {
    {CY_OK, "OK", "success"},
    {CY_CONNECTION_ERROR, "CONNECTION_ERROR",
     "no connection to the device, or a Bluetooth operation failed"},
    {CY_UNSUPPORTED_DEVICE, "UNSUPPORTED_DEVICE", "the device or its firmware is not supported"},
    {CY_UNSUPPORTED_SAMPLE_RATE, "UNSUPPORTED_SAMPLE_RATE",
     "the connected model does not accept the requested stream rate"},
    {CY_BLUETOOTH_DISABLED, "BLUETOOTH_DISABLED",
     "no Bluetooth hardware, or Bluetooth is switched off or blocked; --virtual uses the virtual headsets"},
    {CY_ADAPTER_NOT_FOUND, "ADAPTER_NOT_FOUND", "no Bluetooth adapter; --virtual uses the virtual headsets"},
    {CY_ADAPTER_INDEX_NOT_FOUND, "ADAPTER_INDEX_NOT_FOUND",
     "the configured adapter index names no adapter"},
    {CY_PRECONDITION_FAILED, "PRECONDITION_FAILED",
     "the operation cannot start in the present state"},
    {CY_UPDATE_FAILED, "UPDATE_FAILED", "the device did not confirm the firmware update"},
    {CY_UPDATE_EXCEPTION, "UPDATE_EXCEPTION", "the firmware update stopped on an error"},
    {CY_NOT_STREAMING, "NOT_STREAMING", "the operation needs a running stream"},
    {CY_DEVICE_NOT_FOUND, "DEVICE_NOT_FOUND", "no device with the requested name"},
    {CY_NOT_INITIALIZED, "NOT_INITIALIZED", "the core library is not initialised"},
};

const code_text* find(int code) {
  for (const code_text& t : texts) {
    if (t.code == code) return &t;
  }
  return nullptr;
}

}  // namespace

std::string error_name(int code) {
  const code_text* t = find(code);
  return t ? t->name : "CODE_" + std::to_string(code);
}

std::string error_meaning(int code) {
  const code_text* t = find(code);
  return t ? t->meaning : "unknown result code";
}

std::string library_reason() {
  const char* text = cy_core_last_error_text();
  return text != nullptr ? text : "";
}

}  // namespace calyra::app
