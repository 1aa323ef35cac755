// C API: where a stream started again after a link loss continues.
#include "cycore/stream_resume.h"

#include <cmath>
#include <cstdint>

extern "C" {

CYCORE_API cy_error cy_stream_resume_position(int64_t last_sample, int64_t last_host_ns, int64_t first_host_ns,
                                              double rate_hz, cy_stream_resume* out) {
  if (out == nullptr || !std::isfinite(rate_hz) || rate_hz <= 0.0 || last_sample < 0) return CY_PRECONDITION_FAILED;
  // In double: the difference of two int64 times can overflow int64.
  const double gap_s = (static_cast<double>(first_host_ns) - static_cast<double>(last_host_ns)) * 1e-9;
  const double steps = std::round(gap_s * rate_hz);
  if (steps > 9007199254740992.0) return CY_PRECONDITION_FAILED;
  // The first sample after comes at least one sample after the last one.
  const auto step = steps < 1.0 ? std::int64_t{1} : static_cast<std::int64_t>(steps);
  if (last_sample > INT64_MAX - step) return CY_PRECONDITION_FAILED;
  out->first_sample = last_sample + step;
  out->filled = static_cast<std::uint64_t>(step - 1);
  out->gap_s = gap_s;
  return CY_OK;
}

}  // extern "C"
