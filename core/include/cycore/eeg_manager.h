/*
 * The EEG manager: one object per headset. It connects, holds the channel
 * settings, starts and stops the sample stream, decodes the packets and hands
 * the samples to the host in chunks of typed per-channel arrays.
 *
 * Part of the libcycore C API; hosts include "cycore.h". This header also
 * brings in the manager's other families: battery, configuration upload,
 * annotations and firmware update.
 *
 * Threads. Operations run on the caller's thread; the chunk callback, the
 * stop completion and the disconnect callback may run on a thread of the BLE
 * layer (each function below says which). Those are the only threads the
 * library starts: with BlueZ, the D-Bus event loop and one callback thread
 * per headset handle held; with the virtual backend, one thread per virtual
 * headset that has connected, which stays (idle) after its disconnect,
 * cy_eeg_manager_free and cy_core_close and is used again by the headset's
 * next connect; it ends when the virtual headsets are replaced
 * (cy_virtual_configure, cy_virtual_reset, the next cy_core_init). Unless a function says otherwise, one manager's
 * operations may be called from several host threads, but connect must not
 * overlap any other operation of the same manager.
 *
 * Lifetime. The host owns a handle from cy_eeg_manager_new to
 * cy_eeg_manager_free. Handles passed to the functions below must be valid
 * (only cy_eeg_manager_free accepts NULL).
 *
 * Order of calls for a stream (examples/stream.c does exactly this):
 *   1. cy_core_init, then cy_eeg_manager_new;
 *   2. cy_eeg_manager_connect (identifies the model: the rate and bias
 *      setters need it);
 *   3. the channel settings: cy_eeg_manager_set_data_stream_rate,
 *      cy_eeg_manager_set_channel_enabled for every channel to stream
 *      (electrodes, and CY_CHANNEL_SAMPLE_NUMBER / CY_CHANNEL_STREAMING to
 *      get sample numbers and gap marks), cy_eeg_manager_set_channel_gain,
 *      cy_eeg_manager_set_impedance_mode;
 *   4. cy_eeg_manager_load_config: sends gains, bias, impedance mode and rate
 *      to the headset. Settings changed after it reach the stream layout at
 *      the next start but not the headset: call it again after any change;
 *   5. cy_eeg_manager_set_callback_chunk (and _disconnect), then
 *      cy_eeg_manager_start_stream;
 *   6. cy_eeg_manager_stop_stream (delivers the last chunk), then
 *      cy_eeg_manager_disconnect or cy_eeg_manager_free, and cy_core_close.
 * A stop resets the channel settings: repeat steps 3 to 5 for the next start.
 *
 * Annotations (cy_eeg_manager_annotate) are refused with CY_NOT_STREAMING
 * until the stream's timing is known: the library fits it to the arrival
 * times of the first 11 packets. That is 11 x the model's samples per packet
 * (KESTREL 50, WREN 30, FINCH 15, HERON and PLOVER 10): for a KESTREL 2.2 s
 * at 250 Hz and 1.1 s at 500 Hz; for a WREN 1.32 s and 0.66 s; for a FINCH
 * 0.66 s (250 Hz only); for a HERON 0.44 s (250 Hz only); for a PLOVER
 * 0.44 s and 0.22 s. A host that wants earlier marks keeps them itself.
 */
#ifndef CYCORE_EEG_MANAGER_H
#define CYCORE_EEG_MANAGER_H

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

#include "cycore/annotations.h"
#include "cycore/battery.h"
#include "cycore/config_upload.h"
#include "cycore/firmware_update.h"

CYCORE_EXTERN_C_BEGIN

/* ---- Channels ---------------------------------------------------------- */

/*
 * Every value stream of a headset is a channel with a 16-bit id. Electrode i
 * (0-based, below the model's electrode count) has the measurement channel
 * CY_CHANNEL_ELECTRODE_MEASUREMENT + i and the contact channel
 * CY_CHANNEL_ELECTRODE_CONTACT + i.
 */
enum {
  CY_CHANNEL_SAMPLE_NUMBER = 0x0000,          /* UINT64: sample number */
  CY_CHANNEL_ELECTRODE_MEASUREMENT = 0x0001,  /* FLOAT64: microvolts (raw counts
                                                 in impedance mode) */
  CY_CHANNEL_ELECTRODE_CONTACT = 0x0401,      /* UINT8: the electrode's status bit */
  CY_CHANNEL_ACCELEROMETER_X = 0x0A01,        /* FLOAT32: m/s^2 */
  CY_CHANNEL_ACCELEROMETER_Y = 0x0A02,        /* FLOAT32: m/s^2 */
  CY_CHANNEL_ACCELEROMETER_Z = 0x0A03,        /* FLOAT32: m/s^2 */
  CY_CHANNEL_STREAMING = 0x0A41               /* UINT8: 1 decoded, 0 inserted for a
                                                 lost sample */
};

/* Element type of a channel's array in a chunk (one byte). */
typedef uint8_t cy_channel_data_type;
enum {
  CY_CHANNEL_FLOAT32 = 0, /* float */
  CY_CHANNEL_UINT8 = 1,   /* uint8_t holding 0 or 1 */
  CY_CHANNEL_UINT64 = 2,  /* uint64_t */
  CY_CHANNEL_FLOAT64 = 3, /* double */
  CY_CHANNEL_NO_TYPE = 255 /* the id is not a channel of the connected model;
                              its chunk pointer is NULL */
};

/* ---- Settings ------------------------------------------------------------ */

/* Amplifier gain of an electrode. */
typedef uint8_t cy_gain_mode;
enum {
  CY_GAIN_X1 = 0,
  CY_GAIN_X2 = 1,
  CY_GAIN_X4 = 2,
  CY_GAIN_X6 = 3,
  CY_GAIN_X8 = 4,
  CY_GAIN_X12 = 5,
  CY_GAIN_NONE = 0xFF /* result of cy_multiplier_to_gain_mode without a mode */
};

/* Data stream rate codes; which ones a model accepts depends on the model. */
typedef uint8_t cy_data_stream_rate;
enum {
  CY_RATE_HZ_16000 = 0,
  CY_RATE_HZ_8000 = 1,
  CY_RATE_HZ_4000 = 2,
  CY_RATE_HZ_2000 = 3,
  CY_RATE_HZ_1000 = 4,
  CY_RATE_HZ_500 = 5,
  CY_RATE_HZ_250 = 6 /* the rate of a new manager */
};

/* Impedance measurement: 0 off; any other value on, sent to the headset as is. */
typedef uint8_t cy_impedance_mode;
enum { CY_IMPEDANCE_OFF = 0 };

/* ---- Callbacks ----------------------------------------------------------- */

/* Connect completion: `compatible` is true when the headset's hardware and
 * firmware are supported, false otherwise and on failure. */
typedef void (*cy_connect_callback)(bool compatible, void* user_data);

/* Completion of a start or a stop. */
typedef void (*cy_completion_callback)(void* user_data);

/*
 * One chunk of samples. channel_data holds one pointer per streamed channel,
 * in ascending channel-id order (the position of a channel is
 * cy_eeg_manager_get_channel_index); each points to sample_count elements of
 * the type given at the same position by
 * cy_eeg_manager_get_stream_channel_data_types, or is NULL for a channel
 * without a type. The arrays belong to the manager and are valid only during
 * the call: copy what you need before returning.
 */
typedef void (*cy_chunk_callback)(const void* const* channel_data, size_t sample_count,
                                  void* user_data);

/* The link to the headset dropped. */
typedef void (*cy_disconnect_callback)(void* user_data);

/* ---- Object ---------------------------------------------------------------- */

/*
 * Creates a manager: not connected, no channel enabled, no gains or bias,
 * impedance off, rate CY_RATE_HZ_250, no callbacks.
 * Returns the handle, owned by the caller until cy_eeg_manager_free, or NULL
 * when memory runs out. Does not block.
 */
CYCORE_API cy_eeg_manager* cy_eeg_manager_new(void);

/*
 * Disconnects (see cy_eeg_manager_disconnect) and destroys the manager. Safe
 * while a stream runs or a link-loss event is being delivered: it first ends
 * the manager's subscriptions and waits for a handler already running (a
 * chunk or disconnect callback in progress) to return, so no callback of this
 * manager runs after it returns. Must not be called from the chunk callback.
 * A NULL handle is ignored.
 */
CYCORE_API void cy_eeg_manager_free(cy_eeg_manager* manager);

/* ---- Connection ------------------------------------------------------------ */

/*
 * Finds the headset advertising exactly `device_name` (case-sensitive; paired
 * devices count too), connects, reads its identity, battery and chip status
 * and subscribes to battery notifications. Resets the stream settings and
 * drops starts still queued from an earlier connection.
 * Blocks the caller: up to about 5 s searching, then the link set-up and
 * about ten reads.
 * callback: may be NULL; called on the calling thread before this returns,
 *           with the compatibility (false on failure). Not called when
 *           Bluetooth is off, no adapter exists or the device is not found.
 * Returns:
 *   CY_OK                  connected, hardware 2.0.x with firmware 3.6.x;
 *   CY_UNSUPPORTED_DEVICE  connected, but other revisions (the link stays
 *                          open); or the model code is unknown (not
 *                          connected);
 *   CY_CONNECTION_ERROR    a BLE operation failed, or a revision or model text
 *                          did not parse (not connected);
 *   CY_BLUETOOTH_DISABLED  no adapter is switched on (each one that is off
 *                          is logged with its name);
 *   CY_ADAPTER_NOT_FOUND, CY_DEVICE_NOT_FOUND.
 * The search uses the first adapter that is switched on.
 */
CYCORE_API cy_error cy_eeg_manager_connect(cy_eeg_manager* manager, const char* device_name,
                                           cy_connect_callback callback, void* user_data);

/*
 * Ends the connection: ends a running stream locally (no stop command is
 * sent; the stream's remaining samples are delivered to the chunk callback on
 * the calling thread after the link is closed), clears the annotations and
 * closes the link. The disconnect callback is not called for it. Afterwards
 * the manager is disconnected and not streaming, even if closing the link
 * failed. Not connected: logs and does nothing. Blocks for the link close.
 * Must not be called from the chunk callback.
 */
CYCORE_API void cy_eeg_manager_disconnect(cy_eeg_manager* manager);

/*
 * True when connected and the link is up. After a link loss it returns false
 * although the manager still counts as connected until
 * cy_eeg_manager_disconnect. Not connected: logs and returns false.
 */
CYCORE_API bool cy_eeg_manager_is_connected(cy_eeg_manager* manager);

/*
 * The headset's identity as read by the last successful connect (zeros
 * before). The record belongs to the manager and stays valid until
 * cy_eeg_manager_free; a later connect changes it.
 */
CYCORE_API const cy_device_info* cy_eeg_manager_get_device_info(cy_eeg_manager* manager);

/* ---- Stream ------------------------------------------------------------------ */

/*
 * Starts streaming the enabled channels with the current gains (the layout
 * and gains are frozen until the next start; send the settings first with
 * cy_eeg_manager_load_config). Subscribes to the stream and writes the start
 * command. Chunks then arrive on a BLE thread.
 * While a stream runs or a stop has not yet completed, the start is queued
 * and carried out right after that stop completes, on the stopping thread;
 * this call then returns CY_OK at once. The stop resets the channel settings
 * before queued starts run, so a queued start streams no channel: to change
 * the layout, stop first, then set the channels and start.
 * callback: may be NULL; called once the start command has been written, on
 *           the thread that runs the start (the caller's, or the stopping
 *           thread for a queued start), inside the manager's stream lock: it
 *           must not call start, stop, is_streaming, disconnect or free of
 *           this manager.
 * Link size: a notification carries at most MTU - 3 bytes. When not even a
 * packet of one sample of the enabled electrodes fits, the start is refused
 * (nothing is subscribed or sent): stream fewer electrodes or use a link with
 * a larger MTU. When only the model's full packet does not fit, the start
 * goes on with a WARNING line, since a headset may send shorter packets. A
 * queued start is not checked (it streams no channel).
 * Returns CY_OK; CY_CONNECTION_ERROR when not connected or when subscribing
 * or writing fails (ERROR line in the log); CY_PRECONDITION_FAILED when a
 * one-sample packet cannot fit the link (ERROR line naming both sizes).
 * Blocks for one subscription and one write.
 */
CYCORE_API cy_error cy_eeg_manager_start_stream(cy_eeg_manager* manager,
                                                cy_completion_callback callback,
                                                void* user_data);

/*
 * Stops the stream: writes the stop command and ends the subscription; then,
 * on the calling thread before returning, delivers the remaining samples as a
 * final (possibly short) chunk, calls `callback` (may be NULL) with
 * user_data, resets the channel settings (enabled channels, gains, bias and
 * impedance mode; the rate stays) and carries out the starts queued behind
 * this stop, in order. The callback runs inside the manager's stream lock:
 * it must not call start, stop, is_streaming, disconnect or free of this
 * manager.
 * Returns CY_OK (also when not connected: then nothing happens but a log
 * line); CY_CONNECTION_ERROR when the stop command or the unsubscription
 * fails (ERROR line; the stream is then still considered running).
 * Blocks for one write and the unsubscription, which waits for a chunk
 * callback in progress. Must not be called from the chunk callback.
 */
CYCORE_API cy_error cy_eeg_manager_stop_stream(cy_eeg_manager* manager,
                                               cy_completion_callback callback,
                                               void* user_data);

/* True while a stream runs (from its start until stop or disconnect). */
CYCORE_API bool cy_eeg_manager_is_streaming(cy_eeg_manager* manager);

/*
 * The element type of every streamed channel, in chunk order.
 * out: receives the address of the manager's array (NULL or unusable when
 *      the count is 0). count: receives the number of streamed channels.
 * The array belongs to the manager and stays valid until the next start.
 * Before the first start the count is 0.
 */
CYCORE_API void cy_eeg_manager_get_stream_channel_data_types(cy_eeg_manager* manager,
                                                             const uint8_t** out,
                                                             size_t* count);

/*
 * Registers the chunk callback (NULL silences it: samples are then dropped).
 * The callback runs on the BLE notification thread while the stream runs,
 * and on the thread of stop or disconnect for the final chunk; it runs inside
 * the manager's stream lock and must not call start, stop, is_streaming,
 * disconnect, free or set_callback_chunk of this manager.
 * Takes effect from the next delivery. Does not talk to the device.
 */
CYCORE_API void cy_eeg_manager_set_callback_chunk(cy_eeg_manager* manager,
                                                  cy_chunk_callback callback, void* user_data);

/*
 * Registers the battery callback (NULL removes it). It is called on the BLE
 * notification thread with the state the headset has just reported; the
 * record is valid only during the call. A notification too short to hold the
 * level (under 4 bytes) is ignored with a WARNING line: neither the cache nor
 * the callback hears of it. Does not talk to the device.
 */
CYCORE_API void cy_eeg_manager_set_callback_battery(cy_eeg_manager* manager,
                                                    cy_battery_callback callback,
                                                    void* user_data);

/*
 * Registers the disconnect callback (NULL removes it). It is called once when
 * the link drops, on a BLE thread, never on the host's thread. The manager
 * still counts as connected: call cy_eeg_manager_disconnect (or free) to
 * clean up, which may be done from inside the callback.
 * Does not talk to the device.
 */
CYCORE_API void cy_eeg_manager_set_callback_disconnect(cy_eeg_manager* manager,
                                                       cy_disconnect_callback callback,
                                                       void* user_data);

/* ---- Channel settings ---------------------------------------------------------
 * The setters change the manager's settings only; they reach the headset with
 * cy_eeg_manager_load_config and the stream layout at the next start. They
 * may be called in any state, from any thread, and do not block.
 */

/* Adds the channel to, or removes it from, the channels to stream. Any id is
 * accepted; ids the model does not produce stream nothing useful. */
CYCORE_API void cy_eeg_manager_set_channel_enabled(cy_eeg_manager* manager, uint16_t channel,
                                                   bool enabled);

/* Sets the gain of a channel (not validated; a mode above CY_GAIN_X12 is
 * configured and scaled as X8). Channels without a gain are scaled as X8. */
CYCORE_API void cy_eeg_manager_set_channel_gain(cy_eeg_manager* manager, uint16_t channel,
                                                cy_gain_mode mode);

/* Puts the channel into the bias drive (polarity 2 on bipolar models, 1 on
 * the others). Needs a model identified by a connection. */
CYCORE_API void cy_eeg_manager_set_channel_bias(cy_eeg_manager* manager, uint16_t channel);

/* Sets the impedance mode; takes effect in decoding at once. */
CYCORE_API void cy_eeg_manager_set_impedance_mode(cy_eeg_manager* manager,
                                                  cy_impedance_mode mode);

/*
 * Sets the data stream rate. The rate is stored in every case. Needs a model
 * identified by a connection.
 * Returns CY_OK, or CY_UNSUPPORTED_SAMPLE_RATE when the model does not offer it.
 */
CYCORE_API cy_error cy_eeg_manager_set_data_stream_rate(cy_eeg_manager* manager,
                                                        cy_data_stream_rate rate);

/* Position of a channel in a chunk, or -1 when the running (or last) stream
 * does not carry it. */
CYCORE_API int64_t cy_eeg_manager_get_channel_index(cy_eeg_manager* manager, uint16_t channel);

/*
 * The stored data stream rate as its CODE, not in Hz: CY_RATE_HZ_250 (6) for
 * 250 Hz, CY_RATE_HZ_500 (5) for 500 Hz, ... (see cy_data_stream_rate). A
 * host that needs Hz maps the code itself.
 */
CYCORE_API uint8_t cy_eeg_manager_get_sample_frequency(cy_eeg_manager* manager);

/* ---- Gain conversions ---------------------------------------------------------- */

/* Multiplier of a gain mode: 1, 2, 4, 6, 8, 12; 0 for any other mode. */
CYCORE_API int cy_gain_mode_to_multiplier(cy_gain_mode mode);

/* Gain mode of a multiplier: 4, 6, 8, 12 give X4, X6, X8, X12; every other
 * multiplier, 1 and 2 included, gives CY_GAIN_NONE. */
CYCORE_API cy_gain_mode cy_multiplier_to_gain_mode(int multiplier);

CYCORE_EXTERN_C_END

#endif /* CYCORE_EEG_MANAGER_H */
