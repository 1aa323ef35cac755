// C API: the stream counts.
#include "cycore/stream_stats.h"
#include "manager/c_api_support.h"
#include "runtime/c_boundary.h"

using calyra::core::error;
using calyra::core::from_handle;
using calyra::core::guard_c_call;

extern "C" {

CYCORE_API cy_error cy_eeg_manager_get_stream_stats(cy_eeg_manager* manager, cy_stream_stats* stats) {
  return calyra::core::to_code(guard_c_call("cy_eeg_manager_get_stream_stats", error::PRECONDITION_FAILED, [&] {
    return from_handle(manager).get_stream_stats(stats);
  }));
}

}  // extern "C"
