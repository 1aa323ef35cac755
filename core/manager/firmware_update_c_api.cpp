// C API: firmware update.
#include "cycore/firmware_update.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/c_boundary.h"

using calyra::core::eeg_manager_implementation;
using calyra::core::error;

// An exception that escapes the operation's own handling can only come
// before the image blocks (the block loop maps everything itself), so it is
// a CONNECTION_ERROR.
extern "C" CYCORE_API cy_error cy_eeg_manager_start_update(cy_eeg_manager* manager,
                                                           cy_update_progress_callback progress,
                                                           void* user_data) {
  auto& implementation = *reinterpret_cast<eeg_manager_implementation*>(manager);
  return calyra::core::to_code(calyra::core::guard_c_call(
      "cy_eeg_manager_start_update", error::CONNECTION_ERROR,
      [&] { return implementation.start_ota_update(progress, user_data); }));
}
