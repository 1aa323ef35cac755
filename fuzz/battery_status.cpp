// Battery status parsing through the manager: battery_status notifications of
// any length and content, and full battery records read from battery_status,
// battery_energy and battery_health values of any length, some of whose
// reads fail. Each record the host receives is checked against the layout
// the headset fills (protocol/battery_layout.h), and the half-precision
// voltage and current against the headset-side encoder: a value the headset
// can send survives the round trip unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "capabilities/device_features.h"
#include "cycore.h"
#include "protocol/battery_layout.h"
#include "support/check.h"
#include "support/fake_headset.h"
#include "support/quiet_streams.h"

namespace {

using calyra::fuzz::fake_peripheral;
using calyra::fuzz::role;

std::uint8_t byte_at(const std::string& value, std::size_t i) {
  return i < value.size() ? static_cast<std::uint8_t>(value[i]) : 0;
}

std::uint16_t half_at(const std::string& value, std::size_t i) {
  return static_cast<std::uint16_t>(byte_at(value, i) | (byte_at(value, i + 1) << 8));
}

// battery_status: [flags, power state low, power state high, level]; a value
// read whole that is too short for a field reads 0 there (a notification that
// short is ignored).
cy_battery_info expected_quick(const std::string& status) {
  const std::uint8_t power = byte_at(status, 1);
  return cy_battery_info{byte_at(status, 3), ((power >> 1) & 1) != 0, ((power >> 5) & 3) == CY_CHARGE_STATE_CHARGING};
}

bool same(const cy_battery_info& a, const cy_battery_info& b) {
  return a.level == b.level && a.is_charger_connected == b.is_charger_connected && a.is_charging == b.is_charging;
}

// Exponent 31 is a plain number to the headset, beyond what the encoder sends.
void check_half(std::uint16_t bits, float decoded) {
  if (((bits >> 10) & 0x1F) == 0x1F) {
    FUZZ_CHECK(decoded >= 65536.0f || decoded <= -65536.0f);
    return;
  }
  FUZZ_CHECK(calyra::core::protocol::float_to_half(decoded) == bits);
}

struct observed {
  std::optional<cy_battery_info> quick;
  std::optional<cy_full_battery_info> full;
};

void on_battery(const cy_battery_info* info, void* user_data) { static_cast<observed*>(user_data)->quick = *info; }
void on_full_battery(const cy_full_battery_info* info, void* user_data) {
  static_cast<observed*>(user_data)->full = *info;
}

std::string battery_value(FuzzedDataProvider& in) {
  return in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 8));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  calyra::fuzz::silence_iostreams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  auto headset = std::make_shared<fake_peripheral>("FUZZ 1");
  calyra::fuzz::set_supported_device(
      *headset, in.ConsumeIntegralInRange<std::uint8_t>(0, calyra::core::capabilities::max_model_code));
  headset->values[role::battery_status] = battery_value(in);
  headset->values[role::battery_energy] = battery_value(in);
  headset->values[role::battery_health] = battery_value(in);
  calyra::fuzz::install_backend(headset);

  cy_eeg_manager* m = cy_eeg_manager_new();
  observed seen;
  cy_eeg_manager_set_callback_battery(m, on_battery, &seen);
  FUZZ_CHECK(cy_eeg_manager_connect(m, "FUZZ 1", nullptr, nullptr) == CY_OK);
  // Connecting reads the battery once.
  FUZZ_CHECK(same(cy_eeg_manager_get_battery_info(m), expected_quick(headset->values[role::battery_status])));

  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0: case 1: {  // a notification
        const std::string status = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 24));
        seen.quick.reset();
        const cy_battery_info before = cy_eeg_manager_get_battery_info(m);
        FUZZ_CHECK(headset->deliver(role::battery_status, status));
        if (status.size() < 4) {
          // Too short to hold the level: ignored, the cache keeps what it had.
          FUZZ_CHECK(!seen.quick && same(cy_eeg_manager_get_battery_info(m), before));
          break;
        }
        FUZZ_CHECK(seen.quick && same(*seen.quick, expected_quick(status)));
        FUZZ_CHECK(same(cy_eeg_manager_get_battery_info(m), *seen.quick));
        break;
      }
      case 2: {  // a full record from new values
        const std::string status = battery_value(in);
        const std::string energy = battery_value(in);
        const std::string health = battery_value(in);
        headset->values[role::battery_status] = status;
        headset->values[role::battery_energy] = energy;
        headset->values[role::battery_health] = health;
        seen.full.reset();
        FUZZ_CHECK(cy_eeg_manager_get_full_battery_info(m, on_full_battery, &seen) == CY_OK);
        FUZZ_CHECK(seen.full.has_value());
        const cy_full_battery_info& info = *seen.full;
        const cy_battery_info quick = expected_quick(status);
        FUZZ_CHECK(info.level == quick.level && info.is_charger_connected == quick.is_charger_connected);
        FUZZ_CHECK(info.charge_state == ((byte_at(status, 1) >> 5) & 3));
        FUZZ_CHECK(info.power_state_bit7 == (byte_at(status, 1) >> 7));
        FUZZ_CHECK(info.health == static_cast<float>(byte_at(health, 1)));
        check_half(half_at(energy, 1), info.voltage);
        check_half(half_at(energy, 3), info.current);
        // The full query refreshes the quick record too.
        FUZZ_CHECK(same(cy_eeg_manager_get_battery_info(m), quick));
        break;
      }
      default: {  // one of the three reads fails
        const role failing[] = {role::battery_status, role::battery_energy, role::battery_health};
        const role r = failing[in.ConsumeIntegralInRange(0, 2)];
        const cy_battery_info before = cy_eeg_manager_get_battery_info(m);
        headset->failing.insert(r);
        seen.full.reset();
        FUZZ_CHECK(cy_eeg_manager_get_full_battery_info(m, on_full_battery, &seen) != CY_OK);
        FUZZ_CHECK(!seen.full.has_value());
        FUZZ_CHECK(same(cy_eeg_manager_get_battery_info(m), before));
        headset->failing.erase(r);
      }
    }
  }
  cy_eeg_manager_disconnect(m);
  cy_eeg_manager_free(m);
  FUZZ_CHECK(headset->idle());
  return 0;
}
