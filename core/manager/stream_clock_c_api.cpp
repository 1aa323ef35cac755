// C API: the stream clock.
#include "cycore/stream_clock.h"
#include "manager/c_api_support.h"
#include "runtime/c_boundary.h"

using calyra::core::error;
using calyra::core::from_handle;
using calyra::core::guard_c_call;

extern "C" {

CYCORE_API cy_error cy_eeg_manager_sample_at(cy_eeg_manager* manager, int64_t host_time_ns,
                                             double* sample_number) {
  return calyra::core::to_code(guard_c_call("cy_eeg_manager_sample_at", error::PRECONDITION_FAILED, [&] {
    return from_handle(manager).sample_at(host_time_ns, sample_number);
  }));
}

CYCORE_API cy_error cy_eeg_manager_time_of_sample(cy_eeg_manager* manager, double sample_number,
                                                  int64_t* host_time_ns) {
  return calyra::core::to_code(guard_c_call("cy_eeg_manager_time_of_sample", error::PRECONDITION_FAILED, [&] {
    return from_handle(manager).time_of_sample(sample_number, host_time_ns);
  }));
}

CYCORE_API cy_error cy_eeg_manager_published_times(cy_eeg_manager* manager, int64_t first_sample, size_t count,
                                                  int64_t* host_times_ns) {
  return calyra::core::to_code(guard_c_call("cy_eeg_manager_published_times", error::PRECONDITION_FAILED, [&] {
    return from_handle(manager).published_times(first_sample, count, host_times_ns);
  }));
}

// Out of memory while copying the text is the one unexpected failure; nothing
// is stored then, and PRECONDITION_FAILED is the nearest code (as annotate).
CYCORE_API cy_error cy_eeg_manager_annotate_at(cy_eeg_manager* manager, const char* text,
                                               int64_t host_time_ns) {
  return calyra::core::to_code(guard_c_call("cy_eeg_manager_annotate_at", error::PRECONDITION_FAILED, [&] {
    return from_handle(manager).annotate_at(text, host_time_ns);
  }));
}

CYCORE_API cy_error cy_eeg_manager_get_clock_info(cy_eeg_manager* manager, cy_clock_info* info) {
  return calyra::core::to_code(guard_c_call("cy_eeg_manager_get_clock_info", error::PRECONDITION_FAILED, [&] {
    return from_handle(manager).get_clock_info(info);
  }));
}

}  // extern "C"
