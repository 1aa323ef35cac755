#include "simulator/device_config.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <set>

namespace calyra::simulator {
namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool blank(std::string_view text) {
  for (char c : text)
    if (!std::isspace(static_cast<unsigned char>(c))) return false;
  return true;
}

// Reports problems of one entry with its position and text.
class entry_parser {
 public:
  entry_parser(std::size_t number, std::string_view text) : number_(number), text_(text) {}

  [[noreturn]] void fail(const std::string& why) const {
    throw device_list_error("device entry " + std::to_string(number_) + " (\"" +
                            std::string(text_) + "\"): " + why);
  }

  template <class T>
  T integer(std::string_view key, std::string_view value, T low, T high) const {
    T result{};
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), result);
    if (ec != std::errc() || end != value.data() + value.size() || result < low || result > high)
      fail(std::string(key) + " must be an integer from " + std::to_string(low) + " to " +
           std::to_string(high) + ", not \"" + std::string(value) + "\"");
    return result;
  }

  double real(std::string_view key, std::string_view value, double low, double high) const {
    const std::string copy(value);
    char* end = nullptr;
    const double result = copy.empty() ? NAN : std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(result) ||
        result < low || result > high)
      fail(std::string(key) + " must be a number from " + trimmed(low) + " to " + trimmed(high) +
           ", not \"" + copy + "\"");
    return result;
  }

  bool flag(std::string_view key, std::string_view value) const {
    if (value == "0") return false;
    if (value == "1") return true;
    fail(std::string(key) + " must be 0 or 1, not \"" + std::string(value) + "\"");
  }

 private:
  static std::string trimmed(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
  }

  std::size_t number_;
  std::string_view text_;
};

bool is_address(std::string_view text) {
  if (text.size() != 17) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool colon_place = i % 3 == 2;
    if (colon_place ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i])))
      return false;
  }
  return true;
}

std::vector<std::string> load_replay(const entry_parser& parser, const std::string& path) {
  std::ifstream in(path);
  if (!in) parser.fail("replay file \"" + path + "\" cannot be read");
  std::vector<std::string> payloads;
  std::string line;
  for (std::size_t line_number = 1; std::getline(in, line); ++line_number) {
    std::string hex;
    for (char c : line)
      if (!std::isspace(static_cast<unsigned char>(c))) hex += c;
    if (hex.empty() || hex[0] == '#') continue;
    const auto bad = [&] {
      parser.fail("replay file \"" + path + "\" line " + std::to_string(line_number) +
                  " is not an even number of hexadecimal digits");
    };
    if (hex.size() % 2 != 0) bad();
    std::string payload;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
      unsigned value = 0;
      const auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
      if (ec != std::errc() || end != hex.data() + i + 2) bad();
      payload += static_cast<char>(value);
    }
    payloads.push_back(std::move(payload));
  }
  if (payloads.empty()) parser.fail("replay file \"" + path + "\" holds no payload");
  return payloads;
}

device_config parse_entry(std::size_t number, std::size_t index, std::string_view text) {
  const entry_parser parser(number, text);
  const std::vector<std::string_view> items = split(text, ',');
  device_config device;
  device.name = std::string(items[0]);
  if (device.name.empty()) parser.fail("the name is empty");
  device.serial = "SN000" + std::to_string(index);
  device.address = address_from_name(device.name);

  std::set<std::string_view> seen;
  for (std::size_t i = 1; i < items.size(); ++i) {
    const std::size_t eq = items[i].find('=');
    if (eq == std::string_view::npos) parser.fail("\"" + std::string(items[i]) + "\" is not key=value");
    const std::string_view key = items[i].substr(0, eq);
    const std::string_view value = items[i].substr(eq + 1);
    if (key != "fail" && !seen.insert(key).second)
      parser.fail("key " + std::string(key) + " is given twice");

    if (key == "model") {
      device.model = parser.integer<std::uint8_t>(key, value, 0, 255);
    } else if (key == "hw") {
      device.hardware_revision = std::string(value);
    } else if (key == "fw") {
      device.firmware_revision = std::string(value);
    } else if (key == "serial") {
      device.serial = std::string(value);
    } else if (key == "address") {
      if (!is_address(value)) parser.fail("address must look like AA:BB:CC:DD:EE:FF");
      device.address = std::string(value);
    } else if (key == "mtu") {
      device.mtu = parser.integer<std::uint16_t>(key, value, 23, 517);
      device.mtu_given = true;
    } else if (key == "paired") {
      device.paired = parser.flag(key, value);
    } else if (key == "advertising") {
      device.advertising = parser.flag(key, value);
    } else if (key == "battery") {
      device.battery = parser.integer<std::uint8_t>(key, value, 0, 100);
    } else if (key == "charging") {
      device.charging = parser.flag(key, value);
    } else if (key == "pace") {
      if (value == "realtime") device.pace = pacing::realtime;
      else if (value == "fast") device.pace = pacing::fast;
      else parser.fail("pace must be realtime or fast");
    } else if (key == "loss") {
      device.loss = parser.real(key, value, 0.0, 1.0);
    } else if (key == "seed") {
      device.seed = parser.integer<std::uint64_t>(key, value, 0, std::numeric_limits<std::uint64_t>::max());
    } else if (key == "line") {
      device.line_hz = parser.real(key, value, 0.0, 1000.0);
    } else if (key == "drop_after") {
      device.drop_after = parser.integer<std::uint64_t>(key, value, 0, std::numeric_limits<std::uint64_t>::max());
    } else if (key == "drop_every") {
      device.drop_every_s = parser.real(key, value, 0.0, 1e6);
    } else if (key == "down_ms") {
      device.down_ms = parser.real(key, value, 0.0, 1e7);
    } else if (key == "replay") {
      device.replay_path = std::string(value);
      device.replay_payloads = load_replay(parser, device.replay_path);
    } else if (key == "fail") {
      const auto role = gatt::role_from_name(value);
      if (!role) parser.fail("fail names no GATT role: \"" + std::string(value) + "\"");
      device.failing_roles.push_back(*role);
    } else if (key == "ota_ack") {
      device.ota_ack = parser.integer<std::uint8_t>(key, value, 0, 255);
    } else if (key == "clock_ppm") {
      device.clock_ppm = parser.real(key, value, -5000.0, 5000.0);
    } else if (key == "interval_ms") {
      device.interval_ms = parser.real(key, value, 0.0, 100.0);
      // BLE allows connection intervals from 7.5 ms.
      if (device.interval_ms != 0.0 && device.interval_ms < 7.5)
        parser.fail("interval_ms must be 0 or a number from 7.5 to 100, not \"" + std::string(value) + "\"");
    } else if (key == "delay_ms") {
      device.delay_ms = parser.real(key, value, 0.0, 10000.0);
    } else if (key == "stall") {
      device.stalls_per_s = parser.real(key, value, 0.0, 1.0);
    } else {
      parser.fail("unknown key \"" + std::string(key) + "\"");
    }
  }
  return device;
}

}  // namespace

std::vector<device_config> parse_device_list(std::string_view text) {
  std::vector<device_config> devices;
  const std::vector<std::string_view> entries = split(text, ';');
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].empty() || blank(entries[i])) continue;
    devices.push_back(parse_entry(i + 1, devices.size(), entries[i]));
  }
  return devices;
}

std::vector<device_config> default_devices() {
  return parse_device_list(
      "CY WREN 1,model=0;CY FINCH 2,model=1;CY HERON 3,model=2;CY PLOVER 4,model=3;"
      "CY KESTREL 5,model=4;CY KESTREL 6,model=5");
}

std::string address_from_name(std::string_view name) {
  // FNV-1a: stable, and different names almost never share an address.
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X",
                static_cast<unsigned>(hash >> 40 & 0xFF), static_cast<unsigned>(hash >> 32 & 0xFF),
                static_cast<unsigned>(hash >> 24 & 0xFF), static_cast<unsigned>(hash >> 16 & 0xFF),
                static_cast<unsigned>(hash >> 8 & 0xFF), static_cast<unsigned>(hash & 0xFF));
  return text;
}

}  // namespace calyra::simulator
