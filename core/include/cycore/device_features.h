/*
 * Per-model capabilities of the Calyra headsets.
 *
 * Every model has one immutable capability object that lives as long as the
 * library is loaded. The queries take no lock and may be called from any
 * thread, also before cy_core_init. The host never frees these objects.
 */
#ifndef CYCORE_DEVICE_FEATURES_H
#define CYCORE_DEVICE_FEATURES_H

#include "cycore/export.h"
#include "cycore/types.h"

CYCORE_EXTERN_C_BEGIN

/* Opaque capability object of one headset model. */
typedef struct cy_device_features cy_device_features;

/*
 * The capability object of the model that info->id names (model codes 0..5).
 * Returns null when id is above 5, or when info is null. Repeated calls with
 * the same id return the same pointer, valid for the library's lifetime.
 */
CYCORE_API const cy_device_features* cy_core_device_features_get(const cy_device_info* info);

/*
 * The name of the model with code `model_code` (cy_device_info.id): "WREN",
 * "FINCH", "HERON", "PLOVER", "KESTREL" and "KESTREL v2" for codes 0..5,
 * "unknown model" for any other code (255 included). Never NULL; the string
 * is static (the host never frees it) and valid for the library's lifetime.
 */
CYCORE_API const char* cy_core_device_model_name(uint8_t model_code);

/*
 * The queries below answer for one model. `features` must be a pointer
 * returned by cy_core_device_features_get; it is not checked.
 */

/* True when the model has an accelerometer. */
CYCORE_API bool cy_core_device_features_has_accel(const cy_device_features* features);

/* True when the model has a gyroscope. */
CYCORE_API bool cy_core_device_features_has_gyro(const cy_device_features* features);

/* True when the model's electrodes are wired in bipolar pairs. */
CYCORE_API bool cy_core_device_features_is_bipolar(const cy_device_features* features);

/* Number of EEG electrodes of the model (4, 8, 16 or 32). */
CYCORE_API uint8_t cy_core_device_features_electrode_count(const cy_device_features* features);

/* True when the model accepts a firmware update over the air. */
CYCORE_API bool cy_core_device_features_supports_ota(const cy_device_features* features);

CYCORE_EXTERN_C_END

#endif /* CYCORE_DEVICE_FEATURES_H */
