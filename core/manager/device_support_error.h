// Raised while connecting when the device's model code selects no capability
// set; connect turns it into UNSUPPORTED_DEVICE with an "Unsupported device: "
// line.
#pragma once

#include <stdexcept>

namespace calyra::core {

struct device_support_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace calyra::core
