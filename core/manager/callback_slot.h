// One host callback and its user data, replaced by host threads while a
// library thread calls it.
#pragma once

#include <mutex>
#include <utility>

namespace calyra::core {

template <class Function>
class callback_slot {
 public:
  void set(Function function, void* user_data) {
    std::lock_guard lock(mutex_);
    function_ = function;
    user_data_ = user_data;
  }

  // Calls the callback with `args` and then its user data, holding the
  // slot's lock: once set() returns, the callback it replaced no longer
  // runs. The callback must not set this slot.
  template <class... Args>
  void call_holding(Args&&... args) {
    std::lock_guard lock(mutex_);
    if (function_ != nullptr) function_(std::forward<Args>(args)..., user_data_);
  }

  // The callback and its user data as they are now, for a call made without
  // the lock (a callback that may replace itself, or free the manager).
  std::pair<Function, void*> current() const {
    std::lock_guard lock(mutex_);
    return {function_, user_data_};
  }

 private:
  mutable std::mutex mutex_;
  Function function_ = nullptr;
  void* user_data_ = nullptr;
};

}  // namespace calyra::core
