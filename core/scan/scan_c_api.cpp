// The cy_core_ scan family: cy_core_scan and cy_core_find_headset.
#include <algorithm>
#include <cstddef>
#include <ostream>

#include "cycore/scan.h"
#include "library/state.h"
#include "runtime/c_boundary.h"
#include "runtime/error.h"
#include "scan/device_scan.h"
#include "scan/headset_lookup.h"
#include "scan/scan_table.h"

extern "C" CYCORE_API cy_error cy_core_scan(cy_scan_entry** devices, uint64_t* count) {
  using namespace calyra::core;
  return to_code(guard_c_call("cy_core_scan", error::CONNECTION_ERROR, [&] {
    if (!is_initialized()) {
      return fail(error::NOT_INITIALIZED, "cy_core_scan: the library is not initialised (call cy_core_init first)");
    }
    if (devices == nullptr || count == nullptr) {
      return fail(error::PRECONDITION_FAILED, "cy_core_scan: devices or count is null");
    }
    return run_scan(devices, count);
  }));
}

extern "C" CYCORE_API cy_error cy_core_find_headset(const char* wanted, const cy_scan_entry** match,
                                                   const char** nearest) {
  using namespace calyra::core;
  return to_code(guard_c_call("cy_core_find_headset", error::PRECONDITION_FAILED, [&] {
    if (nearest != nullptr) *nearest = nullptr;
    if (!is_initialized()) {
      return fail(error::NOT_INITIALIZED,
                  "cy_core_find_headset: the library is not initialised (call cy_core_init first)");
    }
    if (wanted == nullptr || match == nullptr) {
      return fail(error::PRECONDITION_FAILED, "cy_core_find_headset: wanted or match is null");
    }
    const cy_scan_entry* entries = scan_table::entries();
    const auto count = static_cast<std::size_t>(std::max(scan_table::found_device_count(), 0));
    if (const auto found = headset_lookup::match(entries, count, wanted)) {
      *match = &entries[*found];
      return error::OK;
    }
    const auto close = headset_lookup::nearest(entries, count, wanted);
    if (close && nearest != nullptr) *nearest = entries[*close].name;
    return fail(error::DEVICE_NOT_FOUND, [&](std::ostream& out) {
      out << "No headset named \"" << wanted << "\" (in any case) or with this address";
      if (close) {
        out << " among those the last scan saw; did you mean \"" << entries[*close].name << "\"?";
      } else if (count == 0) {
        out << ": the last scan saw no headset";
      } else {
        out << "; the last scan saw ";
        for (std::size_t i = 0; i < count; ++i) out << (i ? ", " : "") << '"' << entries[i].name << '"';
      }
    });
  }));
}
