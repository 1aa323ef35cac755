// C API: configuration upload.
#include "cycore/config_upload.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/c_boundary.h"

using calyra::core::eeg_manager_implementation;
using calyra::core::error;

extern "C" CYCORE_API cy_error cy_eeg_manager_load_config(cy_eeg_manager* manager,
                                                          void (*callback)(void* user_data),
                                                          void* user_data) {
  auto& implementation = *reinterpret_cast<eeg_manager_implementation*>(manager);
  return calyra::core::to_code(calyra::core::guard_c_call(
      "cy_eeg_manager_load_config", error::CONNECTION_ERROR,
      [&] { return implementation.load_config(callback, user_data); }));
}
