// The configuration report: a series of INFO lines describing the settings in
// force, written by cy_core_init and cy_core_set_config.
#pragma once

#include "cycore/types.h"

namespace calyra::core {

// Writes nothing when logging is inactive or the level is above INFO.
void print_config(const cy_core_config& config);

}  // namespace calyra::core
