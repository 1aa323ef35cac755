/*
 * Device scan of libcycore: finds the headsets within reach.
 *
 * Threads: cy_core_scan blocks the calling thread for the whole scan and
 * rewrites a table that no lock guards. Never run two scans at once, nor a
 * scan together with cy_core_close.
 */
#ifndef CYCORE_SCAN_H
#define CYCORE_SCAN_H

#include <stdint.h>

#include "cycore/export.h"
#include "cycore/types.h"

CYCORE_EXTERN_C_BEGIN

/* The scan table has this many entries; later matches are dropped. */
#define CY_SCAN_TABLE_SIZE 200
/* Size of an entry's name buffer: names longer than 49 characters are cut. */
#define CY_SCAN_NAME_SIZE 50
/* Size of an entry's address buffer: "AA:BB:CC:DD:EE:FF" and its NUL. */
#define CY_SCAN_ADDRESS_SIZE 18

/*
 * One headset seen by a scan. Both strings are NUL-terminated and live in
 * buffers the library owns (CY_SCAN_NAME_SIZE and CY_SCAN_ADDRESS_SIZE bytes).
 */
typedef struct cy_scan_entry {
  char* name;    /* advertised name, e.g. "CY KESTREL 5" */
  char* address; /* device address as text, six hexadecimal pairs and colons */
} cy_scan_entry;

/*
 * Checks that Bluetooth is present and not blocked, scans for 5 seconds on the
 * adapter at cy_core_config.adapter_index, and lists the devices whose whole
 * advertised name matches "CY [A-Z]+ [0-9]*": first the paired peripherals,
 * then the scan results, in the order the Bluetooth stack gives them. There
 * is no de-duplication: a device that is paired and advertising appears
 * twice. At most CY_SCAN_TABLE_SIZE matches are kept.
 *
 * devices (out): receives the address of the first entry of the library's
 *   table. The table is allocated once per cy_core_init, so the same pointer
 *   comes back from every scan until cy_core_close; each scan rewrites the
 *   entries in place. Valid until cy_core_close; never freed by the caller.
 * count (out): receives the number of valid entries from the start.
 *
 * Returns:
 *   CY_OK                       scan done (zero or more matches; with zero a
 *                               WARNING "Calyra devices not found" is logged)
 *   CY_NOT_INITIALIZED          cy_core_init was not called
 *   CY_BLUETOOTH_DISABLED       no Bluetooth hardware, a radio switch blocks it,
 *                               or the adapter is switched off (logged with its name)
 *   CY_ADAPTER_NOT_FOUND        the Bluetooth stack offers no adapter
 *   CY_ADAPTER_INDEX_NOT_FOUND  adapter_index names no adapter
 *   CY_PRECONDITION_FAILED      devices or count is NULL
 *   CY_CONNECTION_ERROR         the Bluetooth stack failed during the scan
 * On every result but CY_OK both out-parameters are left untouched.
 *
 * Blocks for the 5-second scan (with the virtual backend, scaled by
 * cy_virtual_set_scan_scale or CYCORE_VIRTUAL_SCAN_SCALE).
 */
CYCORE_API cy_error cy_core_scan(cy_scan_entry** devices, uint64_t* count);

/*
 * The headset a user means by `wanted`, among the entries of the last
 * cy_core_scan: an entry whose name is exactly `wanted`, else one whose name
 * equals it but for ASCII case, else one whose address equals it in any case
 * (the first entry of each kind). A paired headset listed twice is found
 * once. Names a host takes from a user go through this call, so that every
 * host finds the same headset for the same text.
 *
 * wanted (in): NUL-terminated; the caller keeps it.
 * match (out): on CY_OK, the matching entry of the scan table (owned by the
 *   library, valid as the table: until the next cy_core_scan or cy_core_close).
 * nearest (out, may be NULL): on CY_DEVICE_NOT_FOUND, the name of the entry
 *   closest to `wanted` (edit distance, ignoring case) when at most a third
 *   of the longer of `wanted` and 3 characters differ, else NULL; NULL on
 *   every other result. Owned by the library, valid as the table.
 *
 * Returns CY_OK, CY_DEVICE_NOT_FOUND (cy_core_last_error_text names the
 * nearest name or the names seen), CY_NOT_INITIALIZED, or
 * CY_PRECONDITION_FAILED when wanted or match is NULL. Does not scan and does
 * not block; the same threads rule as cy_core_scan (not during a scan or
 * cy_core_close).
 */
CYCORE_API cy_error cy_core_find_headset(const char* wanted, const cy_scan_entry** match, const char** nearest);

CYCORE_EXTERN_C_END

#endif /* CYCORE_SCAN_H */
