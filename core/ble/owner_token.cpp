#include <atomic>

#include "ble/backend.h"

namespace calyra::core::ble {

owner_token new_owner_token() {
  static std::atomic<owner_token> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace calyra::core::ble
