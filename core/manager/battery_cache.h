// The last battery record a manager learned (connect, full reads and
// battery notifications), read by host threads while the notification
// thread writes it.
#pragma once

#include <mutex>
#include <shared_mutex>

#include "cycore/battery.h"

namespace calyra::core {

class battery_cache {
 public:
  void store(const cy_battery_info& info) {
    const std::unique_lock lock(mutex_);
    info_ = info;
  }
  cy_battery_info get() const {
    const std::shared_lock lock(mutex_);
    return info_;
  }

 private:
  mutable std::shared_mutex mutex_;
  cy_battery_info info_{};
};

}  // namespace calyra::core
