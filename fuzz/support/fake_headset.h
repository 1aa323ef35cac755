// A headset for the fuzz targets: one peripheral whose characteristic values,
// failing characteristics and notifications the fuzzer chooses, behind a
// backend that finds it at once. Everything runs on the fuzzer's thread:
// notifications and the link-loss hook are called from deliver() and
// drop_link(), never from inside a call of the manager.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "ble/backend.h"
#include "protocol/gatt_map.h"

namespace calyra::fuzz {

using core::ble::ByteArray;
using core::gatt::role;

class fake_peripheral final : public core::ble::PeripheralBackend {
 public:
  explicit fake_peripheral(std::string name) : name_(std::move(name)) {}

  // What read() returns per role; a role without a value is not offered.
  std::map<role, ByteArray> values;
  // Roles whose read, write and subscription fail as a broken link would.
  std::set<role> failing;
  std::uint16_t mtu_value = 247;

  // Calls the handler subscribed to `r`, if any; false when there is none.
  bool deliver(role r, const ByteArray& payload);
  // The link drops on its own: subscriptions end and the hooks run.
  void drop_link();
  // Nothing held: no link holder, no subscription, no link-loss hook.
  bool idle() const { return holders_.empty() && handlers_.empty() && on_link_lost_.empty(); }

  std::string identifier() override { return name_; }
  std::string address() override { return "F0:22:00:00:00:01"; }
  void connect(core::ble::owner_token owner) override;
  void disconnect(core::ble::owner_token owner) override;
  bool is_connected() override { return !holders_.empty(); }
  std::uint16_t mtu() override { return mtu_value; }
  ByteArray read(const std::string& service, const std::string& characteristic) override;
  void write_request(const std::string& service, const std::string& characteristic,
                     const ByteArray& data) override;
  void notify(core::ble::owner_token owner, const std::string& service,
              const std::string& characteristic, core::ble::NotifyCallback callback) override;
  void unsubscribe(core::ble::owner_token owner, const std::string& service,
                   const std::string& characteristic) override;
  void set_callback_on_disconnected(core::ble::owner_token owner,
                                    core::ble::DisconnectCallback callback) override;

 private:
  // The role of a UUID pair the manager uses; throws for an unknown pair.
  role checked_role(const std::string& service, const std::string& characteristic) const;

  std::string name_;
  std::set<core::ble::owner_token> holders_;  // the link is up while one remains
  std::map<std::pair<role, core::ble::owner_token>, core::ble::NotifyCallback> handlers_;
  std::map<core::ble::owner_token, core::ble::DisconnectCallback> on_link_lost_;
};

// Installs a backend whose only adapter finds `peripheral` (and nothing
// else) on every scan, replacing the backend in use.
void install_backend(std::shared_ptr<fake_peripheral> peripheral);

// Device-information and battery values of a supported headset of the given
// model, as the virtual headsets report them.
void set_supported_device(fake_peripheral& peripheral, std::uint8_t model_code);

}  // namespace calyra::fuzz
