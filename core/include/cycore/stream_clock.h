/*
 * The stream clock: the host time of every sample of a stream, and the
 * sample of every host time, on the host's steady clock.
 *
 * Host times are nanoseconds of CLOCK_MONOTONIC: std::chrono::steady_clock
 * on Linux, Python's time.monotonic() * 1e9, clock_gettime(CLOCK_MONOTONIC).
 * Sample numbers are those of the stream's SAMPLE_NUMBER channel (the
 * headset's packet counter), continuous across lost packets and filled
 * samples; where the 32-bit counter wraps (after 2^32 samples: 3.1 days at
 * 16 kHz) the clock counts on past 2^32 while the channel starts again at 0.
 *
 * How it works: every notification arrives after the last sample it carries
 * was acquired, never before. The library keeps, for the last 20 minutes of
 * stream, the earliest arrivals relative to their sample numbers and fits
 * the line under them (the lower envelope), so delivery delays, bursts at
 * connection events, stalls and lost packets do not pull it, and the
 * headset's crystal drift is followed continuously. In the first minute the
 * slope is the least-squares line through each second's earliest arrival
 * and the line is lowered until it runs under every arrival.
 *
 * Restarts: the clock restarts with every stream start (a reconnect is a
 * stream start) and stays available after the stream stops (and after a
 * disconnect) until the next start, so recorded samples can still be
 * placed. A start of the same headset (same identifier) at the same rate
 * within 10 minutes of the last notification of the previous stream keeps
 * the drift measured then, until the new stream's own fit covers as much
 * stream time; its offset is found again from the new arrivals, since the
 * headset's counter starts again. Another headset, another rate or a longer
 * pause starts from nothing.
 *
 * The clock is known once the packets received since the start span 1 s of
 * samples (and number at least 3): about 1 s after the first notification.
 * It assumes no constant latency between acquiring a packet's last sample
 * and the earliest moment it can arrive; a headset's own fixed latency,
 * measured once (for example with a photodiode), is for the host to add.
 *
 * Limits (simulated, 250 Hz, 3 ms mean delay; README.md "Time" has the
 * table): an estimate from arrival times runs late by the smallest delay it
 * has seen. Until the phase between the headset's packets and the
 * connection events has swept, that smallest delay can reach the common
 * step of packet period and interval (2.5 ms for 40 ms packets at 7.5 ms,
 * 10 ms for 40 or 200 ms packets at 30 ms); when the packet period is a
 * multiple of the interval (200 ms packets at 50 ms) it can reach the whole
 * interval and lasts until the drift has moved the phase by one interval
 * (33 s at 1500 ppm, for ever at 0 ppm). Measured p99 of "the sample
 * acquired now" from 10 s on, for a 20 ppm headset: 0.6 sample (10-sample
 * packets at 7.5 ms), 0.8 (50-sample packets at 7.5 or 11.25 ms), 2.4
 * samples at 30 ms, 4.8 (40 ms packets at 20 ms) and 12.4 (200 ms packets
 * at 50 ms); the median 0.2-0.3 sample where the phase sweeps. A restart
 * with the drift carried over is as good as the best any line under the
 * arrivals can do; a fresh stream of a headset far from nominal (1500 ppm)
 * needs about two sweeps of the phase to reach it.
 *
 * Two kinds of time: cy_eeg_manager_time_of_sample and
 * cy_eeg_manager_sample_at answer from the clock's current line, the best
 * estimate at the moment of the call; asked again later, the same sample
 * may get a (slightly) different time. cy_eeg_manager_published_times gives
 * the times for streams of consecutive samples (a recording's time column,
 * a block's timestamps): a track that follows the line but never steps.
 * When the line improves, the track moves onto it at most 1 % faster or
 * slower than the line (10 ms per second of stream), so consecutive times
 * always increase, each step within 1 % of the line's sample period at
 * that time (in practice within 0.1 ms of the period at 250 Hz from the
 * first line on); a sample's published
 * time, once the notification carrying it has arrived, is the same on every
 * call.
 *
 * Part of the libcycore C API; hosts include "cycore.h". Every function may
 * be called from any thread, chunk callbacks included; none blocks beyond a
 * short internal lock, and none writes a log line.
 */
#ifndef CYCORE_STREAM_CLOCK_H
#define CYCORE_STREAM_CLOCK_H

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

/* What the clock knows (cy_clock_info.state). */
typedef uint8_t cy_clock_state;
enum {
  CY_CLOCK_UNKNOWN = 0,  /* no clock yet: the other fields are 0 */
  CY_CLOCK_SETTLING = 1, /* fitted over less than 60 s of stream */
  CY_CLOCK_TRACKING = 2  /* fitted over 60 s or more (up to the 20-minute window) */
};

/* The state of a manager's stream clock. */
typedef struct cy_clock_info {
  cy_clock_state state;
  double drift_ppm;       /* how fast the headset's sample clock runs against the host (+: fast) */
  double rate_hz;         /* measured sample rate in host time */
  double nominal_rate_hz; /* the configured rate the stream was started at (0: unknown code) */
  double jitter_ms;       /* 99th percentile of how late notifications arrived after the
                             clock's time of their last sample, over the last 1-2 minutes:
                             the delivery spread the fit sees through, not its error */
  double span_s;          /* seconds of stream the fit covers */
  uint64_t packets_fitted; /* notifications that went into the fit */
} cy_clock_info;

CY_STATIC_ASSERT(sizeof(cy_clock_info) == 56, cy_clock_info_is_56_bytes);
CY_STATIC_ASSERT(offsetof(cy_clock_info, packets_fitted) == 48, cy_clock_info_packets_at_48);

/*
 * The sample acquired at host time `host_time_ns` (CLOCK_MONOTONIC ns), as a
 * fractional sample number: 1000.0 is the moment sample 1000 was acquired,
 * 1000.5 halfway to the next. Times before or after the stream extrapolate
 * the line.
 * sample_number: out, caller-owned.
 * Returns CY_OK; CY_PRECONDITION_FAILED when `sample_number` is NULL;
 * CY_NOT_STREAMING while no clock is known (before the first 1 s of the
 * first stream on this manager, and again after each start until its own
 * first second).
 */
CYCORE_API cy_error cy_eeg_manager_sample_at(cy_eeg_manager* manager, int64_t host_time_ns,
                                             double* sample_number);

/*
 * The host time (CLOCK_MONOTONIC ns, rounded to the nearest) at which sample
 * `sample_number` (fractional allowed) was acquired; the inverse of
 * cy_eeg_manager_sample_at.
 * host_time_ns: out, caller-owned.
 * Returns CY_OK; CY_PRECONDITION_FAILED when `host_time_ns` is NULL,
 * `sample_number` is not finite, or the time falls outside int64;
 * CY_NOT_STREAMING while no clock is known.
 */
CYCORE_API cy_error cy_eeg_manager_time_of_sample(cy_eeg_manager* manager, double sample_number,
                                                  int64_t* host_time_ns);

/*
 * The published host times (CLOCK_MONOTONIC ns, rounded to the nearest) of
 * the consecutive samples first_sample .. first_sample + count - 1 into
 * host_times_ns[0 .. count - 1] (out, caller-owned, count elements): the
 * times to hand out for a stream of samples, strictly increasing and
 * without steps (see "Two kinds of time" above). A sample's time is fixed
 * once its notification has arrived; the track keeps its last 8192
 * notifications (minutes at any rate), and earlier or later samples
 * continue its nearest part.
 * Returns CY_OK (also for count 0, writing nothing); CY_PRECONDITION_FAILED
 * when `host_times_ns` is NULL with count > 0 or the last sample number
 * falls outside int64; CY_NOT_STREAMING while no clock is known (nothing is
 * written).
 */
CYCORE_API cy_error cy_eeg_manager_published_times(cy_eeg_manager* manager, int64_t first_sample, size_t count,
                                                   int64_t* host_times_ns);

/*
 * Stores `text` (copied byte for byte) in the same annotation table as
 * cy_eeg_manager_annotate, at the sample acquired at `host_time_ns`
 * (CLOCK_MONOTONIC ns; rounded to the nearest sample, halves away from
 * zero), by the drift-tracking clock. This is the call for precise marks: an
 * event another program timestamped, a key press, a stimulus onset; the time
 * may lie in the past or (a little) in the future.
 * Returns CY_OK; CY_PRECONDITION_FAILED when `text` is NULL or the sample
 * number falls outside int64 (or memory runs out; nothing is stored);
 * CY_CONNECTION_ERROR when not connected; CY_NOT_STREAMING while no clock is
 * known. Nothing is stored unless CY_OK is returned. Does not block.
 * Not thread-safe with the other annotation functions of the same manager
 * (as cy_eeg_manager_annotate).
 */
CYCORE_API cy_error cy_eeg_manager_annotate_at(cy_eeg_manager* manager, const char* text,
                                               int64_t host_time_ns);

/*
 * Copies the state of the stream clock into *info (out, caller-owned); all
 * fields are 0 and the state CY_CLOCK_UNKNOWN while no clock is known.
 * Returns CY_OK, or CY_PRECONDITION_FAILED when `info` is NULL.
 */
CYCORE_API cy_error cy_eeg_manager_get_clock_info(cy_eeg_manager* manager, cy_clock_info* info);

CYCORE_EXTERN_C_END

#endif /* CYCORE_STREAM_CLOCK_H */
