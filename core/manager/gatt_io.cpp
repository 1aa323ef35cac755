// The two primitives every exchange with the headset goes through.
#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

ble::ByteArray eeg_manager_implementation::read_characteristic(const std::string& service,
                                                               const std::string& characteristic) {
  return current_peripheral().read(service, characteristic);
}

void eeg_manager_implementation::write_characteristic(const std::string& service,
                                                      const std::string& characteristic,
                                                      const std::vector<std::uint8_t>& bytes) {
  current_peripheral().write_request(service, characteristic,
                                     ble::ByteArray(bytes.begin(), bytes.end()));
}

ble::ByteArray eeg_manager_implementation::read_characteristic(gatt::role role) {
  const auto ids = gatt::uuids(role);
  return read_characteristic(ids.service, ids.characteristic);
}

void eeg_manager_implementation::write_characteristic(gatt::role role,
                                                      const std::vector<std::uint8_t>& bytes) {
  const auto ids = gatt::uuids(role);
  write_characteristic(ids.service, ids.characteristic, bytes);
}

}  // namespace calyra::core
