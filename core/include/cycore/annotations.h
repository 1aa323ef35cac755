/*
 * Time-stamped text annotations of a recording.
 *
 * Part of the libcycore C API; hosts include "cycore.h", which includes this
 * header through "cycore/eeg_manager.h".
 */
#ifndef CYCORE_ANNOTATIONS_H
#define CYCORE_ANNOTATIONS_H

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

/* One annotation. Both the record and its text belong to the manager. */
typedef struct cy_annotation {
  int64_t sample_number; /* estimated stream sample number at the time of the call */
  const char* text;      /* NUL-terminated copy of the host's text, byte for byte */
} cy_annotation;

/*
 * Stores `text` (copied byte for byte, UTF-8 passes through) with the sample
 * number the stream has reached by now, estimated from the stream's timing
 * and the configured data stream rate (0 for a rate outside the table).
 * This is the start-of-stream estimate: one fit of the first notifications'
 * arrival times, made once in the manager's life and never corrected for
 * the headset's clock drift, so it is tens of milliseconds off after an
 * hour. Positions stay as earlier releases computed them; for precise
 * timing use cy_eeg_manager_annotate_at (cycore/stream_clock.h).
 * Annotating keeps working after the stream has stopped.
 * Returns CY_OK; CY_PRECONDITION_FAILED when `text` is NULL;
 * CY_CONNECTION_ERROR when not connected; CY_NOT_STREAMING when no stream
 * timing is known yet (no stream has delivered packets on this manager).
 * Nothing is stored unless CY_OK is returned. Does not block; writes no log.
 * Not thread-safe: annotate, get, clear and disconnect of one manager must
 * not run at the same time.
 */
CYCORE_API cy_error cy_eeg_manager_annotate(cy_eeg_manager* manager, const char* text);

/*
 * Hands out every annotation stored so far, in call order.
 * out: receives the address of the manager's array (may be NULL when the
 *      count is 0). count: receives the number of records.
 * The array and the texts belong to the manager and must not be freed. They
 * stay valid until the next of: annotate followed by get (the array may
 * move), clear, disconnect, free. Does not block.
 */
CYCORE_API void cy_eeg_manager_get_annotations(cy_eeg_manager* manager, cy_annotation** out,
                                               size_t* count);

/*
 * Forgets every annotation and releases the texts; pointers handed out by
 * cy_eeg_manager_get_annotations become invalid. Disconnecting a connected
 * manager does the same. Does not block.
 */
CYCORE_API void cy_eeg_manager_clear_annotations(cy_eeg_manager* manager);

CYCORE_EXTERN_C_END

#endif /* CYCORE_ANNOTATIONS_H */
