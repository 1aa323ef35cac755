// Helpers for tests that talk to virtual headsets through the BLE layer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ble/peripheral.h"
#include "simulator/device_config.h"
#include "ble/virtual/virtual_backend.h"
#include "protocol/gatt_map.h"

namespace calyra::test {

using namespace std::chrono_literals;
using core::ble::ByteArray;
using core::ble::Peripheral;
using core::gatt::role;

// A private backend with the given device list; nothing global is touched.
struct headsets {
  explicit headsets(const std::string& list)
      : backend(simulator::parse_device_list(list)) {}
  Peripheral get(const std::string& name) { return Peripheral(backend.find(name)); }
  core::ble::virtual_ble::virtual_backend backend;
};

inline ByteArray read(Peripheral& p, role r) {
  const auto u = core::gatt::uuids(r);
  return p.read(u.service, u.characteristic);
}
inline void write(Peripheral& p, role r, const ByteArray& value) {
  const auto u = core::gatt::uuids(r);
  p.write_request(u.service, u.characteristic, value);
}
inline void subscribe(Peripheral& p, role r, core::ble::NotifyCallback callback) {
  const auto u = core::gatt::uuids(r);
  p.notify(u.service, u.characteristic, std::move(callback));
}
inline void unsubscribe(Peripheral& p, role r) {
  const auto u = core::gatt::uuids(r);
  p.unsubscribe(u.service, u.characteristic);
}

// Gathers the notifications of one subscription, whatever thread they arrive on.
class collector {
 public:
  core::ble::NotifyCallback callback() {
    return [this](const ByteArray& payload, std::int64_t) {
      std::lock_guard lock(mutex_);
      payloads_.push_back(payload);
      threads_.insert(std::this_thread::get_id());
      arrived_.notify_all();
    };
  }
  bool wait_for(std::size_t count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return payloads_.size() >= count; });
  }
  std::vector<ByteArray> payloads() {
    std::lock_guard lock(mutex_);
    return payloads_;
  }
  std::set<std::thread::id> threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<ByteArray> payloads_;
  std::set<std::thread::id> threads_;
};

}  // namespace calyra::test
