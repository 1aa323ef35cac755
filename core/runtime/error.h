// The one-byte result codes of the libcycore C API, as a C++ enum whose
// values are the CY_ constants of the public header (cycore/types.h).
#pragma once

#include <cstdint>

#include "cycore/types.h"

namespace calyra::core {

enum class error : cy_error {
  OK = CY_OK,
  CONNECTION_ERROR = CY_CONNECTION_ERROR,
  UNSUPPORTED_DEVICE = CY_UNSUPPORTED_DEVICE,
  UNSUPPORTED_SAMPLE_RATE = CY_UNSUPPORTED_SAMPLE_RATE,
  BLUETOOTH_DISABLED = CY_BLUETOOTH_DISABLED,
  ADAPTER_NOT_FOUND = CY_ADAPTER_NOT_FOUND,
  ADAPTER_INDEX_NOT_FOUND = CY_ADAPTER_INDEX_NOT_FOUND,
  PRECONDITION_FAILED = CY_PRECONDITION_FAILED,
  UPDATE_FAILED = CY_UPDATE_FAILED,
  UPDATE_EXCEPTION = CY_UPDATE_EXCEPTION,
  NOT_STREAMING = CY_NOT_STREAMING,
  DEVICE_NOT_FOUND = CY_DEVICE_NOT_FOUND,
  NOT_INITIALIZED = CY_NOT_INITIALIZED,
};

constexpr std::uint8_t to_code(error e) { return static_cast<std::uint8_t>(e); }

}  // namespace calyra::core
