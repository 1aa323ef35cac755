// C API: annotations.
#include "cycore/annotations.h"
#include "manager/c_api_support.h"
#include "runtime/c_boundary.h"

using calyra::core::from_handle;
using calyra::core::error;
using calyra::core::guard_c_call;

extern "C" {

// Out of memory while copying the text is the one failure; nothing is stored
// then, and PRECONDITION_FAILED is the nearest code.
CYCORE_API cy_error cy_eeg_manager_annotate(cy_eeg_manager* manager, const char* text) {
  return calyra::core::to_code(guard_c_call("cy_eeg_manager_annotate", error::PRECONDITION_FAILED,
                                            [&] { return from_handle(manager).annotate(text); }));
}

CYCORE_API void cy_eeg_manager_get_annotations(cy_eeg_manager* manager, cy_annotation** out,
                                               size_t* count) {
  const error result = guard_c_call("cy_eeg_manager_get_annotations", error::CONNECTION_ERROR, [&] {
    from_handle(manager).get_annotations(out, count);
    return error::OK;
  });
  if (result != error::OK) {
    // Growing the mirror failed (out of memory): hand out nothing rather
    // than a count the array does not hold.
    if (out != nullptr) *out = nullptr;
    if (count != nullptr) *count = 0;
  }
}

CYCORE_API void cy_eeg_manager_clear_annotations(cy_eeg_manager* manager) {
  guard_c_call("cy_eeg_manager_clear_annotations", error::OK, [&] {
    from_handle(manager).clear_annotations();
    return error::OK;
  });
}

}  // extern "C"
