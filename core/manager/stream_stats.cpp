// The stream counts as the host reads them.
#include "manager/eeg_manager_implementation.h"

namespace calyra::core {

error eeg_manager_implementation::get_stream_stats(cy_stream_stats* stats) const {
  if (stats == nullptr) return fail(error::PRECONDITION_FAILED, "Unable to get stream stats - stats is null");
  *stats = decoder_.stats();
  return error::OK;
}

}  // namespace calyra::core
