// How BlueZ 5.66 reports the simulated headset's GATT failures over D-Bus.
#pragma once

#include <chrono>
#include <string>

#include "simulator/gatt_error.h"
#include "simulator/headset_model.h"

namespace calyra::fake_bluez {

namespace sim = calyra::simulator;
using clock = sim::clock;

// Over D-Bus pace=fast cannot follow the consumer: one packet per period.
inline constexpr std::chrono::microseconds fast_period{500};

struct gatt_failure {
  std::string name;
  std::string message;
};

enum class gatt_operation { read, write };
gatt_failure bluez_failure(const sim::gatt_error& error, gatt_operation operation);

}  // namespace calyra::fake_bluez
