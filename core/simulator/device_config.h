// One virtual headset's settings, and the device list syntax shared by the
// environment variable CYCORE_VIRTUAL_DEVICES and cy_virtual_configure:
//
//   NAME[,key=value]...[;NAME[,key=value]...]...
//
// Names are taken as written (blanks included); they cannot contain ',' or
// ';'. Empty entries (for example after a trailing ';') are skipped. Every key
// may appear once per entry, except `fail`, which may repeat.
#pragma once

#include "protocol/packet_encoder.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/gatt_map.h"

namespace calyra::simulator {

namespace gatt = core::gatt;
namespace protocol = core::protocol;

enum class pacing { realtime, fast };

struct device_config {
  std::string name;
  std::uint8_t model = 4;
  std::string hardware_revision = "2.0.0";
  std::string firmware_revision = "3.6.1";
  std::string serial;   // "SN000" + position in the list unless given
  std::string address;  // derived from the name unless given
  std::uint16_t mtu = 247;
  bool mtu_given = false;  // the list set `mtu`
  bool paired = false;
  bool advertising = true;
  std::uint8_t battery = 80;
  bool charging = false;
  pacing pace = pacing::realtime;
  double loss = 0.0;  // probability that a stream packet is dropped
  std::uint64_t seed = 1;
  double line_hz = 50.0;        // mains component of the signal, 0 for none
  std::uint64_t drop_after = 0; // >0: the link drops after that many stream packets
  double drop_every_s = 0.0;    // >0: mean time between link losses while connected
  double down_ms = 0.0;         // after a loss the headset is unreachable this long
  std::string replay_path;
  std::vector<std::string> replay_payloads;  // loaded from replay_path
  std::vector<gatt::role> failing_roles;
  std::uint8_t ota_ack = 2;  // code sent on ota_status after the update request, 0: none
  // Timing of a real crystal and radio (realtime pace only; see radio_schedule.h).
  double clock_ppm = 0.0;     // the sample clock runs this much fast (+) or slow (-)
  double interval_ms = 0.0;   // BLE connection interval, 0: each packet leaves when ready
  double delay_ms = 0.0;      // mean extra delay per connection event
  double stalls_per_s = 0.0;  // chance per second of a 100-500 ms radio stall
  // Any of the four above is set: the headset keeps its own sample clock.
  bool realistic_timing() const {
    return clock_ppm != 0.0 || interval_ms != 0.0 || delay_ms != 0.0 || stalls_per_s != 0.0;
  }
};

// A device list that cannot be used; the message says which entry and why.
struct device_list_error : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// Parses a device list (replay files are read here). Throws device_list_error.
std::vector<device_config> parse_device_list(std::string_view text);

// One headset per model code: "CY WREN 1" (0), "CY FINCH 2" (1), "CY HERON 3"
// (2), "CY PLOVER 4" (3), "CY KESTREL 5" (4), "CY KESTREL 6" (5).
std::vector<device_config> default_devices();

// "AA:BB:CC:DD:EE:FF" computed from the name, stable across runs.
std::string address_from_name(std::string_view name);

}  // namespace calyra::simulator
