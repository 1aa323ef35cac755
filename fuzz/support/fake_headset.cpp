#include "support/fake_headset.h"

#include <chrono>
#include <utility>
#include <vector>

#include "ble/ble_error.h"
#include "protocol/battery_layout.h"

namespace calyra::fuzz {
namespace {

class fake_adapter final : public core::ble::AdapterBackend {
 public:
  explicit fake_adapter(std::shared_ptr<fake_peripheral> peripheral)
      : peripheral_(std::move(peripheral)) {}
  std::string identifier() override { return "hci0"; }
  std::string address() override { return "F0:22:00:00:00:00"; }
  void scan_for(int) override {}
  std::vector<std::shared_ptr<core::ble::PeripheralBackend>> scan_get_results() override {
    return {peripheral_};
  }
  std::vector<std::shared_ptr<core::ble::PeripheralBackend>> get_paired_peripherals() override {
    return {};
  }

 private:
  std::shared_ptr<fake_peripheral> peripheral_;
};

class fake_backend final : public core::ble::Backend {
 public:
  explicit fake_backend(std::shared_ptr<fake_peripheral> peripheral)
      : adapter_(std::make_shared<fake_adapter>(std::move(peripheral))) {}
  std::string name() const override { return "fuzz"; }
  bool bluetooth_enabled() override { return true; }
  std::vector<std::shared_ptr<core::ble::AdapterBackend>> get_adapters() override {
    return {adapter_};
  }

 private:
  std::shared_ptr<fake_adapter> adapter_;
};

}  // namespace

role fake_peripheral::checked_role(const std::string& service,
                                   const std::string& characteristic) const {
  const auto r = core::gatt::role_from_uuids(service, characteristic);
  if (!r) throw core::ble::not_found_error("unknown characteristic " + characteristic);
  if (holders_.empty()) throw core::ble::not_connected_error("no link");
  if (failing.count(*r) != 0) throw core::ble::operation_failed_error("operation failed");
  return *r;
}

void fake_peripheral::connect(core::ble::owner_token owner) { holders_.insert(owner); }

void fake_peripheral::disconnect(core::ble::owner_token owner) {
  std::erase_if(handlers_, [owner](const auto& entry) { return entry.first.second == owner; });
  on_link_lost_.erase(owner);
  holders_.erase(owner);
}

ByteArray fake_peripheral::read(const std::string& service, const std::string& characteristic) {
  const auto it = values.find(checked_role(service, characteristic));
  if (it == values.end()) throw core::ble::not_found_error("characteristic not offered");
  return it->second;
}

void fake_peripheral::write_request(const std::string& service, const std::string& characteristic,
                                    const ByteArray&) {
  checked_role(service, characteristic);
}

void fake_peripheral::notify(core::ble::owner_token owner, const std::string& service,
                             const std::string& characteristic, core::ble::NotifyCallback callback) {
  handlers_[{checked_role(service, characteristic), owner}] = std::move(callback);
}

void fake_peripheral::unsubscribe(core::ble::owner_token owner, const std::string& service,
                                  const std::string& characteristic) {
  if (const auto r = core::gatt::role_from_uuids(service, characteristic)) handlers_.erase({*r, owner});
}

void fake_peripheral::set_callback_on_disconnected(core::ble::owner_token owner,
                                                   core::ble::DisconnectCallback callback) {
  if (callback) {
    on_link_lost_[owner] = std::move(callback);
  } else {
    on_link_lost_.erase(owner);
  }
}

bool fake_peripheral::deliver(role r, const ByteArray& payload) {
  std::vector<std::pair<role, core::ble::owner_token>> subscribers;
  for (const auto& entry : handlers_) {
    if (entry.first.first == r) subscribers.push_back(entry.first);
  }
  // A handler may unsubscribe itself or another owner: each is looked up
  // again and called through a copy.
  // Every subscriber sees the packet arrive at the same moment, as on a
  // real link.
  const std::int64_t arrival_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count();
  bool delivered = false;
  for (const auto& key : subscribers) {
    const auto it = handlers_.find(key);
    if (it == handlers_.end()) continue;
    const core::ble::NotifyCallback handler = it->second;
    handler(payload, arrival_ns);
    delivered = true;
  }
  return delivered;
}

void fake_peripheral::drop_link() {
  if (holders_.empty()) return;
  holders_.clear();
  handlers_.clear();
  const auto hooks = std::exchange(on_link_lost_, {});
  for (const auto& [owner, hook] : hooks) hook();
}

void install_backend(std::shared_ptr<fake_peripheral> peripheral) {
  core::ble::set_backend(std::make_shared<fake_backend>(std::move(peripheral)));
}

void set_supported_device(fake_peripheral& peripheral, std::uint8_t model_code) {
  auto& v = peripheral.values;
  v[role::model_number] = std::to_string(model_code);
  v[role::hardware_revision] = "2.0.0";
  v[role::firmware_revision] = "3.6.1";
  v[role::serial_number] = "SN000001";
  v[role::ads_chip_status] = ByteArray(1, '\x01');
  v[role::motion_chip_status] = ByteArray(1, '\x01');
  v[role::battery_manager_chip_status] = ByteArray(1, '\x01');
  v[role::battery_status] = core::protocol::encode_battery_status(80, false, core::protocol::charge_state_discharging);
  v[role::battery_energy] = core::protocol::encode_battery_energy(3.9f, -0.1f);
  v[role::battery_health] = core::protocol::encode_battery_health(97);
}

}  // namespace calyra::fuzz
