// Turns a failed D-Bus call into the ble_error family the manager handles,
// keeping the D-Bus error name and message in the text.
#pragma once

#include <string>
#include <string_view>

namespace sdbus {
class Error;
}

namespace calyra::core::ble::bluez {

enum class failure_kind { not_connected, not_found, operation_failed };

// How a D-Bus error of that name and message is reported.
failure_kind classify(std::string_view name, std::string_view message);

// Throws the matching ble_error: "<what>: <name>: <message>".
[[noreturn]] void throw_ble_error(const std::string& what, const sdbus::Error& error);

// BlueZ answers that are not failures for the operation at hand.
bool is_in_progress(const sdbus::Error& error);
// The adapter is switched off.
bool is_not_ready(const sdbus::Error& error);
bool is_no_discovery_started(const sdbus::Error& error);

}  // namespace calyra::core::ble::bluez
