/*
 * Virtual headsets of libcycore: simulated Calyra headsets that answer every
 * characteristic and stream synthetic EEG, so that hosts and tests run
 * without hardware.
 *
 * The zero-code way is the environment, read by cy_core_init:
 *   CYCORE_BLE_BACKEND=virtual       use the virtual headsets
 *   CYCORE_VIRTUAL_DEVICES=LIST      which headsets (unset or empty: six defaults)
 *   CYCORE_VIRTUAL_SCAN_SCALE=F      scans last F (0..1) times their duration
 * The functions below offer the same from code and let tests observe and
 * disturb a headset. All may be called from any thread, before or after
 * cy_core_init; none blocks beyond a short internal lock.
 *
 * Device list: entries separated by ';', each NAME followed by optional
 * ",key=value" pairs, e.g. "CY KESTREL 5,pace=fast;CY FINCH 2,model=1,paired=1".
 *   model        4         model code reported in model_number (0..255)
 *   hw, fw       2.0.0, 3.6.1  revision texts, returned as written
 *   serial       SN000<i>  serial number text (i: position in the list from 0)
 *   address      from name "AA:BB:CC:DD:EE:FF"
 *   mtu          247       reported ATT MTU (23..517)
 *   paired       0         1: listed among the paired peripherals
 *   advertising  1         0: absent from scan results (found only if paired)
 *   battery      80        battery level (0..100)
 *   charging     0         1: charger connected and charging
 *   pace         realtime  realtime: one packet per packet time at the
 *                          configured rate; fast: back to back, as fast as
 *                          the notification handler returns
 *   loss         0         probability (0..1) that a stream packet is lost
 *   seed         1         seed of the synthetic signal and of the loss
 *   line         50        mains frequency in Hz added to the signal, 0: none
 *   drop_after   0         >0: the link drops after that many stream packets
 *                          of one link
 *   drop_every   0         >0: the link drops after random times of mean
 *                          drop_every seconds of link (exponential, from
 *                          `seed`), counted from each connect
 *   down_ms      0         after a link loss (drop_after, drop_every,
 *                          cy_virtual_drop_link) the headset is out of reach
 *                          this many milliseconds: it does not advertise and
 *                          connects to it fail
 *   replay       none      file with one hexadecimal payload per line ('#'
 *                          starts a comment), streamed once instead of the
 *                          synthetic signal
 *   fail         none      a GATT role (stream_control, stream_data,
 *                          battery_status, ota_data, ...) whose read, write
 *                          and subscribe fail; may be given more than once
 *   ota_ack      2         code sent on ota_status after the update request
 *                          (0: no answer; 2 accepts the image)
 *   clock_ppm    0         the headset's sample clock runs this many ppm fast
 *                          (+) or slow (-) against the host (-5000..5000)
 *   interval_ms  0         BLE connection interval (0, or 7.5..100): packets
 *                          ready between two connection events arrive
 *                          together at the next one (0: each when ready)
 *   delay_ms     0         mean of an extra random delay of every connection
 *                          event (exponential, from `seed`; 0..10000)
 *   stall        0         chance per second (0..1) of a 100-500 ms radio
 *                          stall, after which the held packets arrive at once
 * The last four apply with pace=realtime. A packet is ready once its last
 * sample is taken on the headset's clock; nothing is lost and the order is
 * kept (loss stays `loss`). With any of them set, a host that falls behind
 * gets every packet it missed in a burst; with none, a host more than a
 * second behind gets no burst (the headset pauses).
 * Unset CYCORE_VIRTUAL_DEVICES gives "CY WREN 1" (model 0), "CY FINCH 2" (1),
 * "CY HERON 3" (2), "CY PLOVER 4" (3), "CY KESTREL 5" (4) and "CY KESTREL 6"
 * (5). A malformed list is logged at ERROR and leaves no device.
 *
 * Headset behaviour: streaming runs while the start command has been written
 * and stream_data is subscribed; the packet counter starts at sample 0 with
 * each start command. A link loss stops the stream; the headset does not
 * buffer, so what it acquires while the link is down is lost, and after a
 * reconnect a new start command begins again at sample 0, its samples taken
 * at the host times of that moment (the sample clock kept running; the
 * synthetic signal is a function of the sample number and starts over too). Only electrodes whose gain byte in the last
 * configuration record is non-zero are streamed; before any record arrives
 * every electrode streams at multiplier 8 and 250 Hz. Charging settings are
 * remembered (default timeout 30, flag 1). Notifications and the link-loss
 * callback run on a thread of the virtual backend, one per connected headset;
 * a requested disconnect does not call the link-loss callback.
 */
#ifndef CYCORE_VIRTUAL_H
#define CYCORE_VIRTUAL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "cycore/export.h"
#include "cycore/types.h"

CYCORE_EXTERN_C_BEGIN

/*
 * Selects the virtual backend with the headsets of `devices` (the list syntax
 * above; NULL or "" gives the six defaults). Takes effect at once, replacing
 * the backend in use (handles to the previous headsets keep working but are
 * no longer found by scans), and again at every later cy_core_init, over the
 * environment, until cy_virtual_reset.
 * Returns CY_OK, or CY_PRECONDITION_FAILED for a malformed list (logged;
 * nothing changes).
 */
CYCORE_API cy_error cy_virtual_configure(const char* devices);

/*
 * Checks the device list `devices` (the list syntax above) without changing
 * anything, so that a host can report a malformed CYCORE_VIRTUAL_DEVICES
 * with its reason (cy_core_init only logs it, before a host can have
 * switched logging on). NULL or "" is well formed (the six defaults).
 * Returns CY_OK, or CY_PRECONDITION_FAILED for a malformed list; then the
 * reason, e.g. "device entry 1 (\"CY KESTREL 5,loss=2\"): ...", is copied
 * NUL-terminated into `reason` (out, caller-owned, `capacity` bytes, cut to
 * fit; may be NULL when capacity is 0). Replay files named in the list are
 * read to check them.
 */
CYCORE_API cy_error cy_virtual_check_devices(const char* devices, char* reason, size_t capacity);

/*
 * Forgets cy_virtual_configure and cy_virtual_set_scan_scale and selects the
 * backend from the environment again, at once and without a round trip on
 * the system bus: CYCORE_BLE_BACKEND=virtual gives the virtual headsets of
 * CYCORE_VIRTUAL_DEVICES, "none" (or an unknown name) no adapter. A choice
 * that needs the bus (CYCORE_BLE_BACKEND=bluez, or unset) is made by the
 * next scan or connect (or cy_core_init); until then there is no adapter.
 */
CYCORE_API void cy_virtual_reset(void);

/*
 * Multiplies the duration of every virtual scan by `scale` (0..1), so that
 * tests need not wait the full 5 seconds of cy_core_scan.
 * Returns CY_OK, or CY_PRECONDITION_FAILED for a value outside 0..1.
 */
CYCORE_API cy_error cy_virtual_set_scan_scale(double scale);

/* What a virtual headset has seen and done, for tests. */
typedef struct cy_virtual_stats {
  bool connected;
  bool streaming;            /* start command received and stream_data subscribed */
  uint64_t packets_sent;     /* stream packets delivered since the backend was made */
  uint64_t packets_lost;     /* stream packets dropped by `loss` */
  uint64_t ota_image_bytes;  /* image bytes received in the last update */
  bool ota_completed;        /* the last update ended with the done command */
} cy_virtual_stats;

/*
 * Copies the statistics of the virtual headset named `name` into *stats
 * (out, caller-owned).
 * Returns CY_OK, CY_DEVICE_NOT_FOUND (no such headset), or
 * CY_PRECONDITION_FAILED (a NULL argument, or the virtual backend is not in use).
 */
CYCORE_API cy_error cy_virtual_get_stats(const char* name, cy_virtual_stats* stats);

/*
 * The last configuration record the headset `name` received on stream_config:
 * copies up to `capacity` bytes into `record` (out, caller-owned; may be NULL
 * when capacity is 0) and returns the record's full length, 0 when none has
 * been received or there is no such headset.
 */
CYCORE_API size_t cy_virtual_get_config_record(const char* name, uint8_t* record, size_t capacity);

/*
 * Drops the radio link of the headset `name` as if it went out of range: the
 * link-loss callback runs soon after on the backend's thread. The headset
 * then stays out of reach for its `down_ms` (0 unless the device list sets
 * it).
 * Returns CY_OK, CY_DEVICE_NOT_FOUND, CY_CONNECTION_ERROR (not connected), or
 * CY_PRECONDITION_FAILED (NULL name, or the virtual backend is not in use).
 */
CYCORE_API cy_error cy_virtual_drop_link(const char* name);

/*
 * As cy_virtual_drop_link, but the headset stays out of reach for `down_ms`
 * milliseconds from the call, whatever the device list says: scans do not
 * see it and connects to it fail (cy_eeg_manager_connect returns
 * CY_DEVICE_NOT_FOUND, or CY_CONNECTION_ERROR for a paired headset), until
 * it is back. A stream started after the reconnect begins at sample 0.
 * Returns as cy_virtual_drop_link.
 */
CYCORE_API cy_error cy_virtual_drop_link_for(const char* name, uint32_t down_ms);

/*
 * Sets the battery of the headset `name` (level 0..100) and, when
 * battery_status is subscribed, sends the new value as a notification on the
 * backend's thread.
 * Returns CY_OK, CY_DEVICE_NOT_FOUND, or CY_PRECONDITION_FAILED (NULL name, a
 * level above 100, or the virtual backend is not in use).
 */
CYCORE_API cy_error cy_virtual_set_battery(const char* name, uint8_t level, bool charging);

/*
 * Fires the trigger input of the headset `name`, like a photodiode on a
 * stimulus screen wired to electrode E1: the first sample the headset takes
 * at or after the moment of the call (by its own clock, see clock_ppm) and
 * the 9 after it carry an extra +300 uV on E1 (the synthetic signal only;
 * nothing shows in impedance mode, on replayed payloads, or when E1 is not
 * streamed). The moment is read on entry, so a host that takes
 * CLOCK_MONOTONIC just before the call knows it to within the call's
 * duration; the stream clock (cy_eeg_manager_sample_at) should place that
 * time on the marked sample. With pace=fast the next sample sent is marked.
 * Returns CY_OK; CY_DEVICE_NOT_FOUND (no such headset) or CY_NOT_STREAMING
 * (the headset is not streaming: no start command or stream_data not
 * subscribed), both with an ERROR log line; CY_PRECONDITION_FAILED (NULL
 * name, or the virtual backend is not in use).
 */
CYCORE_API cy_error cy_virtual_trigger(const char* name);

CYCORE_EXTERN_C_END

#endif /* CYCORE_VIRTUAL_H */
