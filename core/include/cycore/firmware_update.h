/*
 * Firmware update of the connected headset over BLE.
 *
 * Part of the libcycore C API; hosts include "cycore.h", which includes this
 * header through "cycore/eeg_manager.h".
 */
#ifndef CYCORE_FIRMWARE_UPDATE_H
#define CYCORE_FIRMWARE_UPDATE_H

#include <stddef.h>

#include "cycore/export.h"
#include "cycore/types.h"

#ifndef CY_EEG_MANAGER_HANDLE_DEFINED
#define CY_EEG_MANAGER_HANDLE_DEFINED
/* Opaque handle of one EEG manager (cy_eeg_manager_new .. cy_eeg_manager_free). */
typedef struct cy_eeg_manager cy_eeg_manager;
#endif

CYCORE_EXTERN_C_BEGIN

/*
 * Update progress. Unlike the library's other callbacks the user data comes
 * FIRST. total: number of blocks of the image (the last, partial block
 * included); sent: blocks written so far (1 .. total). Called on the thread
 * that called cy_eeg_manager_start_update, after each block.
 */
typedef void (*cy_update_progress_callback)(void* user_data, size_t total, size_t sent);

/*
 * Sends the firmware image named by update_path of the core configuration to
 * the headset: announces the block size (MTU - 3), asks the headset to enter
 * update mode, waits 5 seconds for its acknowledgement, then writes the image
 * block by block (10 ms apart) and sends the closing command.
 * Blocks the calling thread for at least 5 seconds when connected. The
 * manager must not stream, and the host keeps its other operations quiet,
 * while this runs.
 * progress: may be NULL; see cy_update_progress_callback.
 * Returns:
 *   CY_OK                  the image was sent and the closing command written;
 *   CY_CONNECTION_ERROR    not connected, or a BLE failure before the first
 *                          image block;
 *   CY_PRECONDITION_FAILED the image file cannot be opened for reading;
 *   CY_UPDATE_FAILED       the headset did not acknowledge the request within
 *                          5 seconds of this call's request;
 *   CY_UPDATE_EXCEPTION    a failure while sending the image.
 */
CYCORE_API cy_error cy_eeg_manager_start_update(cy_eeg_manager* manager,
                                                cy_update_progress_callback progress,
                                                void* user_data);

CYCORE_EXTERN_C_END

#endif /* CYCORE_FIRMWARE_UPDATE_H */
