// Adapter: a cheap-to-copy value handle with shared ownership of one local
// Bluetooth adapter of the current backend.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ble/backend.h"
#include "ble/peripheral.h"

namespace calyra::core::ble {

class Adapter {
 public:
  explicit Adapter(std::shared_ptr<AdapterBackend> impl) : impl_(std::move(impl)) {}

  // The local adapters of the current backend; empty means none.
  static std::vector<Adapter> get_adapters() {
    std::vector<Adapter> adapters;
    for (auto& impl : current_backend()->get_adapters()) adapters.emplace_back(impl);
    return adapters;
  }
  // False when Bluetooth is switched off.
  static bool bluetooth_enabled() { return current_backend()->bluetooth_enabled(); }

  std::string identifier() { return impl_->identifier(); }
  std::string address() { return impl_->address(); }
  bool powered() { return impl_->powered(); }
  // Blocks for the whole duration.
  void scan_for(int timeout_ms) { impl_->scan_for(timeout_ms); }
  std::vector<Peripheral> scan_get_results() { return wrap(impl_->scan_get_results()); }
  std::vector<Peripheral> get_paired_peripherals() { return wrap(impl_->get_paired_peripherals()); }

 private:
  static std::vector<Peripheral> wrap(std::vector<std::shared_ptr<PeripheralBackend>> impls) {
    std::vector<Peripheral> out;
    out.reserve(impls.size());
    for (auto& impl : impls) out.emplace_back(std::move(impl));
    return out;
  }

  std::shared_ptr<AdapterBackend> impl_;
};

}  // namespace calyra::core::ble
