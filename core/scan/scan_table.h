// The scan result table that cy_core_scan hands out: 200 entries with
// library-owned name and address buffers, allocated once per initialisation so
// that every scan returns the same pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cycore/scan.h"

namespace calyra::core {

// Called by cy_core_init: allocates the table with every string empty (an
// existing table is freed first).
void scan_table_create();
// Called by cy_core_close: frees the table and its buffers. Safe without one.
void scan_table_destroy();

namespace scan_table {

// The first entry, or null while no table exists.
cy_scan_entry* entries();
// Sets every name and address to the empty string and the count to 0.
void clear();
// Appends one device: the name is cut to 49 characters and the address to 17.
// Returns false, changing nothing, when the table is full.
bool append(std::string_view name, std::string_view address);
// Number of valid entries; not reset by scan_table_destroy.
std::int32_t found_device_count();

}  // namespace scan_table
}  // namespace calyra::core
