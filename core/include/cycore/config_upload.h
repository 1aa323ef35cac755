/*
 * Sending the channel settings to the headset.
 *
 * Part of the libcycore C API; hosts include "cycore.h", which includes this
 * header through "cycore/eeg_manager.h".
 */
#ifndef CYCORE_CONFIG_UPLOAD_H
#define CYCORE_CONFIG_UPLOAD_H

#include "cycore/export.h"
#include "cycore/types.h"

#ifndef CY_EEG_MANAGER_HANDLE_DEFINED
#define CY_EEG_MANAGER_HANDLE_DEFINED
/* Opaque handle of one EEG manager (cy_eeg_manager_new .. cy_eeg_manager_free). */
typedef struct cy_eeg_manager cy_eeg_manager;
#endif

CYCORE_EXTERN_C_BEGIN

/*
 * Sends the current impedance mode, per-electrode gains of the enabled
 * electrodes, bias set and data stream rate to the headset in one record
 * (one acknowledged write; blocks until it is done). Call it after changing
 * settings and before starting a stream. An enabled electrode without a gain
 * is configured, and from then on recorded, with gain X1.
 * The record is logged at INFO as "Config(E): b|b|...|" and also printed on
 * standard output as "Configs(E): b|b|...|" unless
 * cy_core_set_stdout_diagnostics(false) was called.
 * callback: called with user_data on the calling thread after the write; may
 *           be NULL.
 * Returns CY_OK; CY_CONNECTION_ERROR when not connected or when the write
 * fails (ERROR line; the callback is not called).
 * Settings must not be changed from another thread while this runs.
 */
CYCORE_API cy_error cy_eeg_manager_load_config(cy_eeg_manager* manager,
                                               void (*callback)(void* user_data),
                                               void* user_data);

CYCORE_EXTERN_C_END

#endif /* CYCORE_CONFIG_UPLOAD_H */
