// The cy_virtual_ exports: configuration and observation of the virtual
// headsets from code.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "backend_choice/backend_choice.h"
#include "ble/backend.h"
#include "ble/virtual/virtual_backend.h"
#include "cycore_virtual.h"
#include "runtime/c_boundary.h"
#include "runtime/error.h"
#include "runtime/logger.h"

namespace {

using namespace calyra::core;
using namespace calyra::core::ble::virtual_ble;

// Runs `body` on the named headset of the virtual backend in use.
template <class Body>
error with_headset(const char* function, const char* name, Body&& body) {
  return guard_c_call(function, error::PRECONDITION_FAILED, [&] {
    if (name == nullptr) return fail(error::PRECONDITION_FAILED, std::string(function) + ": name is null");
    const auto backend = current_virtual_backend();
    if (!backend) {
      return fail(error::PRECONDITION_FAILED, std::string(function) + ": the virtual backend is not in use");
    }
    const auto device = backend->find(name);
    if (!device) {
      return fail(error::DEVICE_NOT_FOUND, std::string(function) + ": no virtual headset named " + name);
    }
    return body(device->link());
  });
}

}  // namespace

extern "C" {

CYCORE_API cy_error cy_virtual_configure(const char* devices) {
  return to_code(guard_c_call("cy_virtual_configure", error::PRECONDITION_FAILED, [devices] {
    const std::string list = devices ? devices : "";
    try {
      if (!list.empty()) parse_device_list(list);
    } catch (const device_list_error& e) {
      logger::log(log_level::ERROR, [&e](std::ostream& out) {
        out << "Virtual headsets: cy_virtual_configure: " << e.what();
      });
      return fail(error::PRECONDITION_FAILED, std::string("cy_virtual_configure: ") + e.what());
    }
    set_device_list_from_code(list);
    ble::use_virtual_backend();
    return error::OK;
  }));
}

CYCORE_API cy_error cy_virtual_check_devices(const char* devices, char* reason, size_t capacity) {
  if (reason != nullptr && capacity > 0) reason[0] = '\0';
  return to_code(guard_c_call("cy_virtual_check_devices", error::PRECONDITION_FAILED, [&] {
    const std::string list = devices ? devices : "";
    try {
      if (!list.empty()) parse_device_list(list);
    } catch (const device_list_error& e) {
      if (reason != nullptr && capacity > 0) {
        const std::size_t n = std::min(capacity - 1, std::strlen(e.what()));
        std::memcpy(reason, e.what(), n);
        reason[n] = '\0';
      }
      return fail(error::PRECONDITION_FAILED, std::string("cy_virtual_check_devices: ") + e.what());
    }
    return error::OK;
  }));
}

CYCORE_API void cy_virtual_reset(void) {
  guard_c_call("cy_virtual_reset", error::OK, [] {
    set_device_list_from_code(std::nullopt);
    set_scan_scale_from_code(std::nullopt);
    ble::reselect_backend_from_environment();
    return error::OK;
  });
}

CYCORE_API cy_error cy_virtual_set_scan_scale(double scale) {
  return to_code(guard_c_call("cy_virtual_set_scan_scale", error::PRECONDITION_FAILED, [scale] {
    if (!valid_scan_scale(scale)) {
      return fail(error::PRECONDITION_FAILED, [scale](std::ostream& out) {
        out << "cy_virtual_set_scan_scale: " << scale << " is not a usable scale (a finite number above 0)";
      });
    }
    set_scan_scale_from_code(scale);
    return error::OK;
  }));
}

CYCORE_API cy_error cy_virtual_get_stats(const char* name, cy_virtual_stats* stats) {
  if (stats == nullptr) {
    last_error::clear();
    return to_code(fail(error::PRECONDITION_FAILED, "cy_virtual_get_stats: stats is null"));
  }
  return to_code(with_headset("cy_virtual_get_stats", name, [stats](headset_link& link) {
    const link_stats s = link.stats();
    *stats = {s.connected, s.streaming, s.packets_sent, s.packets_lost, s.ota_image_bytes,
              s.ota_completed};
    return error::OK;
  }));
}

CYCORE_API size_t cy_virtual_get_config_record(const char* name, uint8_t* record,
                                               size_t capacity) {
  std::size_t length = 0;
  with_headset("cy_virtual_get_config_record", name, [&](headset_link& link) {
    const std::string bytes = link.last_config();
    length = bytes.size();
    if (record != nullptr) std::memcpy(record, bytes.data(), std::min(capacity, length));
    return error::OK;
  });
  return length;
}

CYCORE_API cy_error cy_virtual_drop_link(const char* name) {
  return to_code(with_headset("cy_virtual_drop_link", name, [](headset_link& link) {
    return link.drop_link() ? error::OK
                            : fail(error::CONNECTION_ERROR, "cy_virtual_drop_link: the headset has no link to drop");
  }));
}

CYCORE_API cy_error cy_virtual_drop_link_for(const char* name, uint32_t down_ms) {
  return to_code(with_headset("cy_virtual_drop_link_for", name, [down_ms](headset_link& link) {
    return link.drop_link(std::chrono::milliseconds(down_ms)) ? error::OK : error::CONNECTION_ERROR;
  }));
}

CYCORE_API cy_error cy_virtual_set_battery(const char* name, uint8_t level, bool charging) {
  if (level > 100) {
    last_error::clear();
    return to_code(fail(error::PRECONDITION_FAILED, [level](std::ostream& out) {
      out << "cy_virtual_set_battery: level " << unsigned{level} << " is above 100 %";
    }));
  }
  return to_code(with_headset("cy_virtual_set_battery", name, [&](headset_link& link) {
    link.set_battery(level, charging);
    return error::OK;
  }));
}

CYCORE_API cy_error cy_virtual_trigger(const char* name) {
  // The moment of the call, before any lookup or lock: what the headset marks.
  const auto at = std::chrono::steady_clock::now();
  return to_code(guard_c_call("cy_virtual_trigger", error::PRECONDITION_FAILED, [&] {
    const auto fail = [name](error code, const char* why) {
      const auto write = [&](std::ostream& out) {
        out << "cy_virtual_trigger: " << (name ? name : "(null)") << ": " << why;
      };
      logger::log(log_level::ERROR, write);
      return calyra::core::fail(code, write);
    };
    if (name == nullptr) return fail(error::PRECONDITION_FAILED, "no headset named");
    const auto backend = current_virtual_backend();
    if (!backend) return fail(error::PRECONDITION_FAILED, "the virtual backend is not in use");
    const auto device = backend->find(name);
    if (!device) return fail(error::DEVICE_NOT_FOUND, "no such virtual headset");
    if (!device->link().trigger(at)) return fail(error::NOT_STREAMING, "the headset is not streaming");
    return error::OK;
  }));
}

}  // extern "C"
