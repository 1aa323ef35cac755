// The process-wide state of libcycore: the configuration record and the
// initialised flag. Both exist from library load to unload; the configuration
// survives cy_core_close.
//
// The record is not locked: the host configures the library while no other
// thread uses it, so readers on BLE threads (chunk_size) see a stable value.
#pragma once

#include "cycore/types.h"

namespace calyra::core {

// The configuration in force (the defaults until the host sets another).
const cy_core_config& current_config();

// True between a successful cy_core_init and the next cy_core_close.
bool is_initialized();

// The record the library starts with.
cy_core_config default_config();

namespace state {
// Replaces the configuration record; both paths are cut to 199 characters so
// that they are always NUL-terminated inside the record.
void store_config(const cy_core_config& config);
void set_initialized(bool initialized);
}  // namespace state

}  // namespace calyra::core
