#include "ble/virtual/virtual_peripheral.h"

#include "ble/ble_error.h"

namespace calyra::core::ble::virtual_ble {

virtual_peripheral::virtual_peripheral(device_config config)
    : link_(std::make_shared<headset_link>(std::move(config))) {}

virtual_peripheral::~virtual_peripheral() { link_->shutdown(); }

std::string virtual_peripheral::identifier() { return link_->config().name; }
std::string virtual_peripheral::address() { return link_->config().address; }
void virtual_peripheral::connect(owner_token owner) { link_->connect(owner); }
void virtual_peripheral::disconnect(owner_token owner) { link_->disconnect(owner); }
bool virtual_peripheral::is_connected() { return link_->is_connected(); }
std::uint16_t virtual_peripheral::mtu() { return link_->config().mtu; }

gatt::role virtual_peripheral::resolve(const std::string& service,
                                       const std::string& characteristic) const {
  if (const auto role = gatt::role_from_uuids(service, characteristic)) return *role;
  throw not_found_error(link_->config().name + " has no characteristic " + characteristic +
                        " in service " + service);
}

ByteArray virtual_peripheral::read(const std::string& service, const std::string& characteristic) {
  return link_->read(resolve(service, characteristic));
}

void virtual_peripheral::write_request(const std::string& service,
                                       const std::string& characteristic, const ByteArray& data) {
  link_->write(resolve(service, characteristic), data);
}

void virtual_peripheral::notify(owner_token owner, const std::string& service,
                                const std::string& characteristic, NotifyCallback callback) {
  link_->subscribe(owner, resolve(service, characteristic), std::move(callback));
}

void virtual_peripheral::unsubscribe(owner_token owner, const std::string& service,
                                     const std::string& characteristic) {
  // Unknown characteristics have no subscription to end.
  if (const auto role = gatt::role_from_uuids(service, characteristic))
    link_->unsubscribe(owner, *role);
}

void virtual_peripheral::set_callback_on_disconnected(owner_token owner,
                                                      DisconnectCallback callback) {
  link_->set_disconnect_hook(owner, std::move(callback));
}

}  // namespace calyra::core::ble::virtual_ble
