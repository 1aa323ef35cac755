// Shared pieces of the BlueZ backend tests: a suite-wide private bus with the
// fake on it, and shorthands for GATT roles on a PeripheralBackend.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ble/backend.h"
#include "ble/bluez/bluez_backend.h"
#include "simulator/device_config.h"
#include "simulator/headset_state.h"
#include "simulator/model_shapes.h"
#include "simulator/packet_source.h"
#include "private_bus.h"
#include "protocol/gatt_map.h"

namespace calyra::test {

using core::ble::ByteArray;
using core::ble::PeripheralBackend;
using core::gatt::role;

// One private bus and one fake per test suite.
struct suite_bus {
  std::unique_ptr<private_bus> bus;
  std::unique_ptr<fake_bluez_process> fake;
  std::string failure;

  void start(const std::string& devices, std::vector<std::string> arguments = {}) {
    try {
      bus = std::make_unique<private_bus>();
      fake = std::make_unique<fake_bluez_process>(devices, std::move(arguments));
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  void stop() {
    fake.reset();
    bus.reset();
  }
};

inline ByteArray read(PeripheralBackend& p, role r) {
  const auto u = core::gatt::uuids(r);
  return p.read(u.service, u.characteristic);
}
inline void write(PeripheralBackend& p, role r, const ByteArray& value) {
  const auto u = core::gatt::uuids(r);
  p.write_request(u.service, u.characteristic, value);
}
inline void subscribe(PeripheralBackend& p, core::ble::owner_token owner, role r,
                      core::ble::NotifyCallback callback) {
  const auto u = core::gatt::uuids(r);
  p.notify(owner, u.service, u.characteristic, std::move(callback));
}
inline void unsubscribe(PeripheralBackend& p, core::ble::owner_token owner, role r) {
  const auto u = core::gatt::uuids(r);
  p.unsubscribe(owner, u.service, u.characteristic);
}

// The stream packets the in-process headset of this configuration sends
// after a start command (before any configuration upload), lost ones left out.
inline std::vector<ByteArray> expected_stream(const std::string& device_entry, std::size_t count) {
  namespace vb = simulator;
  const vb::device_config config = vb::parse_device_list(device_entry).at(0);
  const vb::model_shape shape = vb::shape_for_model(config.model);
  const vb::headset_state state(config, shape);
  vb::packet_source source(config, shape);
  source.restart();
  std::vector<ByteArray> out;
  while (out.size() < count) {
    auto packet = source.next(state.config());
    if (!packet.lost) out.push_back(packet.payload);
  }
  return out;
}

}  // namespace calyra::test
