// The PeripheralBackend of one virtual headset. It resolves UUIDs to GATT
// roles and forwards to the headset's link; its destruction ends the link's
// worker thread.
#pragma once

#include <memory>

#include "ble/backend.h"
#include "ble/virtual/headset_link.h"

namespace calyra::core::ble::virtual_ble {

class virtual_peripheral final : public PeripheralBackend {
 public:
  explicit virtual_peripheral(device_config config);
  ~virtual_peripheral() override;

  std::string identifier() override;
  std::string address() override;
  void connect(owner_token owner) override;
  void disconnect(owner_token owner) override;
  bool is_connected() override;
  std::uint16_t mtu() override;

  ByteArray read(const std::string& service, const std::string& characteristic) override;
  void write_request(const std::string& service, const std::string& characteristic,
                     const ByteArray& data) override;
  void notify(owner_token owner, const std::string& service, const std::string& characteristic,
              NotifyCallback callback) override;
  void unsubscribe(owner_token owner, const std::string& service,
                   const std::string& characteristic) override;
  // Called only when the link drops on its own, never for disconnect().
  void set_callback_on_disconnected(owner_token owner, DisconnectCallback callback) override;

  headset_link& link() { return *link_; }

 private:
  gatt::role resolve(const std::string& service, const std::string& characteristic) const;

  std::shared_ptr<headset_link> link_;
};

}  // namespace calyra::core::ble::virtual_ble
