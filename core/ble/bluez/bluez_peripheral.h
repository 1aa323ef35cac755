// One BlueZ device (org.bluez.Device1) as a PeripheralBackend. The link's
// owner table says who holds the link and who subscribed; this class opens
// and closes the link and the device-side subscription (StartNotify or
// AcquireNotify, shared by every owner of a characteristic) accordingly: the
// subscription ends with its last subscriber, the link with its last holder.
#pragma once

#include <memory>
#include <string>

#include "ble/backend.h"
#include "ble/bluez/bus_client.h"

namespace calyra::core::ble::bluez {

class bluez_peripheral final : public PeripheralBackend {
 public:
  bluez_peripheral(std::shared_ptr<bus_client> client, std::string path);

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
  void set_callback_on_disconnected(owner_token owner, DisconnectCallback callback) override;

 private:
  // The characteristic's object path; the link must be up.
  std::string characteristic_path(const std::string& service, const std::string& characteristic);
  struct opened {
    std::uint16_t mtu = 23;
    bool brought_up = false;
  };
  opened open_link();
  void wait_for_foreign_connect(const std::string& name);
  std::string adapter_off_text();
  void close_link();
  void stop_session(const std::string& key);
  // Takes notifications through AcquireNotify's socket; false when BlueZ
  // refuses (StartNotify is the way then). Throws sdbus::Error otherwise.
  bool acquire(const std::string& key, const std::string& path, const std::string& characteristic);
  std::string display_name();

  std::shared_ptr<bus_client> client_;
  std::string path_;
  std::shared_ptr<device_link> link_;
};

}  // namespace calyra::core::ble::bluez
