// The one-byte result codes of the libcycore C API. The public header offers
// the same values to C as CY_ constants (cycore/types.h).
#pragma once

#include <cstdint>

namespace calyra::core {

enum class error : std::uint8_t {
  OK = 0,
  CONNECTION_ERROR = 1,
  UNSUPPORTED_DEVICE = 2,
  UNSUPPORTED_SAMPLE_RATE = 3,
  BLUETOOTH_DISABLED = 4,
  ADAPTER_NOT_FOUND = 5,
  ADAPTER_INDEX_NOT_FOUND = 6,
  PRECONDITION_FAILED = 7,
  UPDATE_FAILED = 8,
  UPDATE_EXCEPTION = 9,
  NOT_STREAMING = 10,
  DEVICE_NOT_FOUND = 11,
  // 12 is unassigned and stays free.
  NOT_INITIALIZED = 13,
};

constexpr std::uint8_t to_code(error e) { return static_cast<std::uint8_t>(e); }

}  // namespace calyra::core
