// Failures of the BLE layer. Every one derives from std::runtime_error, which
// is what the manager's guards catch.
#pragma once

#include <stdexcept>

namespace calyra::core::ble {

struct ble_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An operation that needs a link was called on a peripheral that has none.
struct not_connected_error : ble_error {
  using ble_error::ble_error;
};

// The peripheral does not offer the service or characteristic asked for.
struct not_found_error : ble_error {
  using ble_error::ble_error;
};

// The adapter the operation needs is switched off; the text names it.
struct adapter_off_error : ble_error {
  using ble_error::ble_error;
};

// The operation reached the device and failed there (or the link failed).
struct operation_failed_error : ble_error {
  using ble_error::ble_error;
};

}  // namespace calyra::core::ble
