/*
 * What the decoder counted on a manager's stream: notifications received,
 * packets lost and the filler samples that stand in for them, and
 * notifications it could not decode.
 *
 * Part of the libcycore C API; hosts include "cycore.h".
 */
#ifndef CYCORE_STREAM_STATS_H
#define CYCORE_STREAM_STATS_H

#include <stddef.h>
#include <stdint.h>

#include "cycore/export.h"
#include "cycore/types.h"

#ifndef CY_EEG_MANAGER_HANDLE_DEFINED
#define CY_EEG_MANAGER_HANDLE_DEFINED
/* Opaque handle of one EEG manager (cy_eeg_manager_new .. cy_eeg_manager_free). */
typedef struct cy_eeg_manager cy_eeg_manager;
#endif

CYCORE_EXTERN_C_BEGIN

/*
 * The counts of the current stream, or of the last one once it has stopped;
 * all 0 before the first start. Every start sets them to 0.
 */
typedef struct cy_stream_stats {
  /* stream notifications decoded or dropped while the stream ran */
  uint64_t packets_received;
  /* packets lost: each gap in the headset's packet counter that the decoder
     filled counts the packets it spans (rounded up); a counter that jumps
     backwards or by more than 65536 samples is not a loss and not counted */
  uint64_t missed_packets;
  /* filler samples inserted for the missed packets (STREAMING channel 0) */
  uint64_t filled_samples;
  /* notifications whose length fits no packet of the stream's layout: dropped */
  uint64_t undecodable_payloads;
} cy_stream_stats;

CY_STATIC_ASSERT(sizeof(cy_stream_stats) == 32, cy_stream_stats_is_32_bytes);
CY_STATIC_ASSERT(offsetof(cy_stream_stats, missed_packets) == 8, cy_stream_stats_missed_at_8);
CY_STATIC_ASSERT(offsetof(cy_stream_stats, filled_samples) == 16, cy_stream_stats_filled_at_16);
CY_STATIC_ASSERT(offsetof(cy_stream_stats, undecodable_payloads) == 24,
                 cy_stream_stats_undecodable_at_24);

/*
 * Copies the counts of the manager's current (or last) stream into *stats
 * (out, caller-owned). The four counts are taken together: a notification
 * decoded on another thread is either wholly in them or not at all. A
 * packet's counts are in place before any of its samples reaches the chunk
 * callback, so a host that sees a filler sample also finds it counted.
 * Returns CY_OK, or CY_PRECONDITION_FAILED when `stats` is NULL (nothing is
 * written).
 * May be called from any thread, a chunk callback included; blocks only on a
 * short internal lock that no callback runs under, and writes no log line.
 */
CYCORE_API cy_error cy_eeg_manager_get_stream_stats(cy_eeg_manager* manager, cy_stream_stats* stats);

CYCORE_EXTERN_C_END

#endif /* CYCORE_STREAM_STATS_H */
