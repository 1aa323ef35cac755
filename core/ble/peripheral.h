// Peripheral: a cheap-to-copy value handle with shared ownership of one
// remote device of the current backend. A default-constructed handle is
// empty; every operation on it throws not_connected_error.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "ble/backend.h"
#include "ble/ble_error.h"

namespace calyra::core::ble {

class Peripheral {
 public:
  Peripheral() = default;
  explicit Peripheral(std::shared_ptr<PeripheralBackend> impl) : impl_(std::move(impl)) {}

  bool initialized() const { return impl_ != nullptr; }

  std::string identifier() { return get().identifier(); }
  std::string address() { return get().address(); }
  void connect() { get().connect(); }
  void disconnect() { get().disconnect(); }
  bool is_connected() { return impl_ && impl_->is_connected(); }
  std::uint16_t mtu() { return get().mtu(); }

  ByteArray read(const std::string& service, const std::string& characteristic) {
    return get().read(service, characteristic);
  }
  void write_request(const std::string& service, const std::string& characteristic,
                     const ByteArray& data) {
    get().write_request(service, characteristic, data);
  }
  void notify(const std::string& service, const std::string& characteristic,
              NotifyCallback callback) {
    get().notify(service, characteristic, std::move(callback));
  }
  void unsubscribe(const std::string& service, const std::string& characteristic) {
    get().unsubscribe(service, characteristic);
  }
  void set_callback_on_disconnected(DisconnectCallback callback) {
    get().set_callback_on_disconnected(std::move(callback));
  }

 private:
  PeripheralBackend& get() const {
    if (!impl_) throw not_connected_error("peripheral handle is empty");
    return *impl_;
  }

  std::shared_ptr<PeripheralBackend> impl_;
};

}  // namespace calyra::core::ble
