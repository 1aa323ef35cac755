// The device-information strings of connect: model number, hardware and
// firmware revisions, serial number, the chip status values and the MTU, of
// any content, with some reads failing, followed by more connects to the
// same headset with other strings (a connect on a connected manager) and
// battery notifications in between. The outcome the host sees must agree
// with the texts: a successful connect has a known model and compatible
// revisions, a failed one leaves the manager disconnected and the headset
// without link or handler of it, and a serial text ending in three digits
// gives that number.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>

#include "capabilities/device_features.h"
#include "cycore.h"
#include "library/version.h"
#include "support/check.h"
#include "support/fake_headset.h"
#include "support/quiet_streams.h"

namespace {

using calyra::fuzz::fake_peripheral;
using calyra::fuzz::role;

constexpr role device_roles[] = {
    role::model_number,      role::hardware_revision,   role::firmware_revision,
    role::serial_number,     role::ads_chip_status,     role::motion_chip_status,
    role::battery_manager_chip_status, role::battery_status, role::battery_energy,
    role::battery_health,
};

void choose_device(FuzzedDataProvider& in, fake_peripheral& headset) {
  calyra::fuzz::set_supported_device(headset, 4);  // brings back a value a previous round removed
  auto& v = headset.values;
  // Mostly plausible texts, so that the later steps of connect are reached.
  v[role::model_number] = in.ConsumeBool() ? std::to_string(in.ConsumeIntegralInRange(0, 6)) : in.ConsumeRandomLengthString(12);
  v[role::hardware_revision] = in.ConsumeBool() ? "2.0.0" : in.ConsumeRandomLengthString(16);
  v[role::firmware_revision] = in.ConsumeBool() ? "3.6.1" : in.ConsumeRandomLengthString(16);
  v[role::serial_number] = in.ConsumeRandomLengthString(24);
  v[role::ads_chip_status] = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 2));
  v[role::motion_chip_status] = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 2));
  v[role::battery_manager_chip_status] = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 2));
  headset.mtu_value = in.ConsumeIntegral<std::uint16_t>();
  headset.failing.clear();
  if (in.ConsumeIntegralInRange(0, 7) == 0) {
    const auto mask = in.ConsumeIntegral<std::uint16_t>();
    for (std::size_t i = 0; i < std::size(device_roles); ++i) {
      if ((mask >> i) & 1) headset.failing.insert(device_roles[i]);
    }
    // A headset without some characteristic at all.
    if ((mask >> 15) & 1) headset.values.erase(device_roles[mask % std::size(device_roles)]);
  }
}

bool compatible(const cy_version& v, std::uint8_t major, std::uint8_t minor) {
  return v.major == major && v.minor == minor;
}

// Connects with the texts the headset now holds and checks what the host sees.
void connect_and_check(cy_eeg_manager* m, fake_peripheral& headset, std::uint64_t serial_before) {
  const cy_error result = cy_eeg_manager_connect(m, "FUZZ 1", nullptr, nullptr);
  const bool connected = cy_eeg_manager_is_connected(m);
  FUZZ_CHECK(result == CY_OK || result == CY_UNSUPPORTED_DEVICE || result == CY_CONNECTION_ERROR);
  if (result == CY_CONNECTION_ERROR) FUZZ_CHECK(!connected);
  // A failed connect leaves no link open and no handler registered.
  if (!connected) {
    FUZZ_CHECK(headset.idle());
    return;
  }

  const cy_device_info& info = *cy_eeg_manager_get_device_info(m);
  FUZZ_CHECK(info.id <= calyra::core::capabilities::max_model_code);
  FUZZ_CHECK(headset.failing.empty());
  const auto& v = headset.values;
  FUZZ_CHECK(std::to_string(info.id) == std::to_string(static_cast<std::uint8_t>(std::stoi(v.at(role::model_number)))));
  const cy_version hardware = calyra::core::version_from_string(v.at(role::hardware_revision));
  const cy_version firmware = calyra::core::version_from_string(v.at(role::firmware_revision));
  FUZZ_CHECK(compatible(info.hardware_version, hardware.major, hardware.minor) && info.hardware_version.patch == hardware.patch);
  FUZZ_CHECK(compatible(info.firmware_version, firmware.major, firmware.minor) && info.firmware_version.patch == firmware.patch);
  const bool supported = compatible(hardware, 2, 0) && compatible(firmware, 3, 6);
  FUZZ_CHECK((result == CY_OK) == supported);

  const std::string& serial = v.at(role::serial_number);
  const std::string tail = serial.size() >= 3 ? serial.substr(serial.size() - 3) : std::string();
  if (!tail.empty() && tail.find_first_not_of("0123456789") == std::string::npos) {
    FUZZ_CHECK(info.serial_number == std::stoull(tail));
  } else {
    // Left as it was (or cleared, when connect starts from a fresh record).
    FUZZ_CHECK(info.serial_number == serial_before || info.serial_number == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  calyra::fuzz::silence_iostreams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  auto headset = std::make_shared<fake_peripheral>("FUZZ 1");
  calyra::fuzz::install_backend(headset);
  cy_eeg_manager* m = cy_eeg_manager_new();

  for (int connects = 0; connects < 4 && in.remaining_bytes() > 0; ++connects) {
    choose_device(in, *headset);
    const std::uint64_t serial_before = cy_eeg_manager_get_device_info(m)->serial_number;
    connect_and_check(m, *headset, serial_before);
    // Battery notifications of a connected headset.
    for (int n = in.ConsumeIntegralInRange(0, 2); n > 0; --n) {
      headset->deliver(role::battery_status, in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 6)));
    }
    cy_eeg_manager_get_battery_info(m);
    if (in.ConsumeBool()) cy_eeg_manager_disconnect(m);
  }
  cy_eeg_manager_disconnect(m);
  cy_eeg_manager_free(m);
  FUZZ_CHECK(headset->idle());
  return 0;
}
