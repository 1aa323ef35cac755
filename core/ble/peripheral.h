// Peripheral: a cheap-to-copy value handle with shared ownership of one
// remote device of the current backend, acting for one owner: the link hold,
// subscriptions and disconnection callback it makes are that owner's (copies
// share the owner). A default-constructed handle is empty; every operation on
// it throws not_connected_error.
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
  explicit Peripheral(std::shared_ptr<PeripheralBackend> impl)
      : impl_(std::move(impl)), owner_(new_owner_token()) {}

  // The same device, acting for `owner`.
  Peripheral with_owner(owner_token owner) const {
    Peripheral copy = *this;
    copy.owner_ = owner;
    return copy;
  }

  bool initialized() const { return impl_ != nullptr; }
  owner_token owner() const { return owner_; }

  std::string identifier() { return get().identifier(); }
  std::string address() { return get().address(); }
  void connect() { get().connect(owner_); }
  void disconnect() { get().disconnect(owner_); }
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
    get().notify(owner_, service, characteristic, std::move(callback));
  }
  void unsubscribe(const std::string& service, const std::string& characteristic) {
    get().unsubscribe(owner_, service, characteristic);
  }
  void set_callback_on_disconnected(DisconnectCallback callback) {
    get().set_callback_on_disconnected(owner_, std::move(callback));
  }

 private:
  PeripheralBackend& get() const {
    if (!impl_) throw not_connected_error("peripheral handle is empty");
    return *impl_;
  }

  std::shared_ptr<PeripheralBackend> impl_;
  owner_token owner_ = 0;
};

}  // namespace calyra::core::ble
