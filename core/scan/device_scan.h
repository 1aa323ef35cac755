// The device scan behind cy_core_scan.
#pragma once

#include <cstdint>

#include "cycore/scan.h"
#include "runtime/error.h"

namespace calyra::core {

// Checks Bluetooth and the configured adapter, scans for 5 seconds and fills
// the scan table with the headsets seen; on OK points *devices at the table
// and sets *count. Every failure records its last error text. Caller checks
// that the library is initialised and that both pointers are set.
error run_scan(cy_scan_entry** devices, std::uint64_t* count);

}  // namespace calyra::core
