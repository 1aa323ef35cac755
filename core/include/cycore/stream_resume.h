/*
 * A stream started again after a link loss: where its samples lie on the
 * sample axis of the stream before, so that a recording goes on on one time
 * axis with the outage filled.
 *
 * What holds across a link loss (the virtual headsets behave the same):
 * - the headset's sample clock keeps running while the link is down, and
 *   what it acquired then is lost (the headsets do not buffer);
 * - a new stream start restarts the packet counter: the first sample after
 *   is sample 0 of the new stream, whatever the counter reached before;
 * - each stream has its own stream clock (cy_eeg_manager_time_of_sample):
 *   the earlier one still answers after the disconnect, the new one about
 *   1 s after its first notification.
 * So the gap is the host time from the last sample before to the first
 * sample after, each by its own stream's clock, counted in samples at the
 * earlier stream's measured rate (cy_clock_info.rate_hz; the configured
 * rate when it was never known). The samples between are filled, as lost
 * packets are, and the new stream's sample n continues at first_sample + n.
 *
 * Part of the libcycore C API; hosts include "cycore.h". Pure computation:
 * callable from any thread, no lock, no log line.
 */
#ifndef CYCORE_STREAM_RESUME_H
#define CYCORE_STREAM_RESUME_H

#include <stddef.h>
#include <stdint.h>

#include "cycore/export.h"
#include "cycore/types.h"

CYCORE_EXTERN_C_BEGIN

/* Where a new stream continues the one before (cy_stream_resume_position). */
typedef struct cy_stream_resume {
  int64_t first_sample; /* the new stream's sample 0, on the earlier stream's sample axis */
  uint64_t filled;      /* samples to fill between the last sample before and first_sample */
  double gap_s;         /* host time from the last sample before to the first after, seconds */
} cy_stream_resume;

CY_STATIC_ASSERT(sizeof(cy_stream_resume) == 24, cy_stream_resume_is_24_bytes);

/*
 * The position of a new stream's first sample on the earlier stream's axis.
 * last_sample: number of the last sample received before the loss, on that
 *              axis; last_host_ns its host time (CLOCK_MONOTONIC ns) by the
 *              earlier stream's clock.
 * first_host_ns: host time of the new stream's sample 0 by the new stream's
 *              clock (or, before that clock is known, the arrival of its
 *              first notification less the samples it carried: late, never
 *              early).
 * rate_hz:     the earlier stream's measured rate (see above).
 * The first sample after lands round(gap * rate) samples after the last one,
 * and never on or before it: a first time not later than the last one
 * (clocks that disagree by more than the gap) continues right after.
 * out: caller-owned.
 * Returns CY_OK; CY_PRECONDITION_FAILED when `out` is NULL, `rate_hz` is not
 * a finite positive number, `last_sample` is negative, or the gap holds
 * more than 2^53 samples.
 */
CYCORE_API cy_error cy_stream_resume_position(int64_t last_sample, int64_t last_host_ns, int64_t first_host_ns,
                                              double rate_hz, cy_stream_resume* out);

CYCORE_EXTERN_C_END

#endif /* CYCORE_STREAM_RESUME_H */
