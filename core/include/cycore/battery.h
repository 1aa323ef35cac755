/*
 * Battery state and charging settings of a connected headset.
 *
 * Part of the libcycore C API; hosts include "cycore.h", which includes this
 * header through "cycore/eeg_manager.h".
 */
#ifndef CYCORE_BATTERY_H
#define CYCORE_BATTERY_H

#include <stdbool.h>
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

/* Battery state as last reported by the headset. 3 bytes, returned by value. */
typedef struct cy_battery_info {
  uint8_t level;             /* battery level as the headset reports it */
  bool is_charger_connected; /* a charger is plugged in */
  bool is_charging;          /* the charge state is CY_CHARGE_STATE_CHARGING */
} cy_battery_info;

/* Values of cy_full_battery_info.charge_state (two bits of the status byte). */
enum {
  CY_CHARGE_STATE_UNKNOWN = 0,
  CY_CHARGE_STATE_CHARGING = 1,
  CY_CHARGE_STATE_DISCHARGING_ACTIVE = 2,
  CY_CHARGE_STATE_DISCHARGING_INACTIVE = 3
};

/* Everything the headset reports about its battery, read from the device.
 * 24 bytes with natural alignment. Voltage and current are passed on
 * unscaled, in the units the headset uses. */
typedef struct cy_full_battery_info {
  bool is_charger_connected;
  uint8_t level;
  float health;             /* health byte as a whole number, e.g. 87.0 */
  float voltage;            /* half-precision value from the headset */
  float current;            /* half-precision value from the headset */
  int32_t charge_state;     /* 0 .. 3, see CY_CHARGE_STATE_* */
  int32_t power_state_bit7; /* bit 7 of the status byte on its own, 0 or 1 */
} cy_full_battery_info;

/* The headset's two charging settings. 2 bytes, passed by value. */
typedef struct cy_charging_settings {
  bool flag;             /* any non-zero byte on the headset reads as true */
  uint8_t sleep_timeout; /* unit defined by the headset; 0 is never written */
} cy_charging_settings;

CY_STATIC_ASSERT(sizeof(cy_battery_info) == 3, cy_battery_info_is_3_bytes);
CY_STATIC_ASSERT(sizeof(cy_full_battery_info) == 24, cy_full_battery_info_is_24_bytes);
CY_STATIC_ASSERT(offsetof(cy_full_battery_info, health) == 4, cy_full_battery_info_health_at_4);
CY_STATIC_ASSERT(offsetof(cy_full_battery_info, charge_state) == 16,
                 cy_full_battery_info_charge_state_at_16);
CY_STATIC_ASSERT(sizeof(cy_charging_settings) == 2, cy_charging_settings_is_2_bytes);

/* Receives a battery record. `info` is valid only during the call. */
typedef void (*cy_battery_callback)(const cy_battery_info* info, void* user_data);
/* Receives a full battery record. `info` is valid only during the call. */
typedef void (*cy_full_battery_callback)(const cy_full_battery_info* info, void* user_data);

/*
 * Returns the battery state cached from the headset's last report: the first
 * reading at connect, every battery notification that holds a level and every
 * full query update it. Does not contact the device and does not block beyond a short lock.
 * Not connected: returns the all-zero record and logs an INFO line.
 */
CYCORE_API cy_battery_info cy_eeg_manager_get_battery_info(cy_eeg_manager* manager);

/*
 * Reads the battery characteristics from the headset, refreshes the cached
 * state and passes the full record to `callback` (may be NULL) on the calling
 * thread before returning; the record lives only for that call.
 * Blocks for three characteristic reads.
 * Returns CY_OK, or CY_CONNECTION_ERROR when not connected (callback not
 * called) or when a read fails (ERROR line in the log; the cache is left as
 * it was and the callback is not called).
 */
CYCORE_API cy_error cy_eeg_manager_get_full_battery_info(cy_eeg_manager* manager,
                                                         cy_full_battery_callback callback,
                                                         void* user_data);

/*
 * Reads the two charging settings from the headset (blocks for two reads).
 * Returns {false, 0} when not connected (INFO line) or when a read fails
 * (ERROR line). A value the headset reports empty reads as 0.
 */
CYCORE_API cy_charging_settings cy_eeg_manager_get_charging_settings(cy_eeg_manager* manager);

/*
 * Writes the timeout, then the flag byte as given (two acknowledged writes;
 * blocks until both are done). A sleep_timeout of 0 is replaced by 1 (INFO
 * line). Returns true when both were written; false when not connected
 * (nothing sent, INFO line) or when a write fails (ERROR line).
 */
CYCORE_API bool cy_eeg_manager_set_charging_settings(cy_eeg_manager* manager,
                                                     cy_charging_settings settings);

CYCORE_EXTERN_C_END

#endif /* CYCORE_BATTERY_H */
