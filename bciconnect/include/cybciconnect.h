/*
 * libcybciconnect: signal processing for blocks of EEG samples.
 *
 * Block layout. Every function works on a channel-major block of
 * n_channels x n_samples doubles: channel ch occupies the contiguous elements
 * data[ch * n_samples] ... data[ch * n_samples + n_samples - 1], and channels
 * follow one another without gaps. Channels are always processed
 * independently of one another. Outputs are either per channel (n_channels
 * doubles, in channel order) or element-wise (same shape as the input).
 *
 * Ownership. The caller allocates and owns every input and output buffer.
 * The library keeps no pointer beyond a call and no state between calls;
 * scratch memory a call allocates is released before it returns. (The
 * online filters of cybciconnect/online_filter.h, included below, are the
 * exception: objects that carry filter state from call to call.)
 *
 * Errors. No function of this header validates its arguments or reports an
 * error: the preconditions stated per function are the caller's to keep. Numerical
 * degeneracies are not trapped and come out as IEEE values (NaN, infinity).
 * Channel lengths above 2^31 - 1 samples are not supported.
 *
 * Threads. Every function is re-entrant and lock-free; any number of threads
 * may call any functions at the same time on distinct output buffers (and,
 * for the online filters, on distinct filter objects). No
 * function blocks or starts a thread. Calls take time linear in the block
 * size (the median: see there).
 */
#ifndef CYBCICONNECT_H
#define CYBCICONNECT_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define CYBCI_API __attribute__((visibility("default")))
#else
#define CYBCI_API
#endif

#include "cybciconnect/online_filter.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Library version, three bytes. The same record is used by libcycore;
 * whichever header comes first defines it. */
#ifndef CY_VERSION_DEFINED
#define CY_VERSION_DEFINED
typedef struct cy_version {
  uint8_t major;
  uint8_t minor;
  uint8_t patch;
} cy_version;
#endif

/* ---- Version ------------------------------------------------------------ */

/* Returns a pointer to the constant record {2, 4, 0}. The record is owned by
 * the library and lives as long as the library is loaded; never free it. */
CYBCI_API const cy_version* cy_bci_connect_get_version(void);

/* ---- Statistics: one result per channel --------------------------------- */

/* Median of each channel into out[ch]: the middle value of the sorted
 * channel, or for an even count the mean of the two middle values
 * ((lower + upper) * 0.5). The input is never reordered (each channel is
 * copied to scratch memory). A NaN in a channel does not make the result NaN
 * by itself: NaNs stay where the internal sort leaves them, which decides the
 * result. n_samples = 0 leaves out untouched. Time: linear per channel for
 * channels without NaN; otherwise an in-place quicksort, O(N log N) on
 * average and O(N^2) at worst, with a stack depth of O(log N). */
CYBCI_API void cy_bci_connect_median(const double* data, size_t n_channels, size_t n_samples,
                                     double* out);

/* Median absolute deviation of each channel into out[ch]: the median (as
 * above) of |x - median| over the channel, unscaled (no 1.4826 factor).
 * n_samples = 0 leaves out untouched. Allocates one channel's worth of
 * scratch memory. */
CYBCI_API void cy_bci_connect_mad(const double* data, size_t n_channels, size_t n_samples,
                                  double* out);

/* Minimum into out_min[ch] and maximum into out_max[ch] of each channel.
 * Both start at the channel's first sample; NaNs after it are ignored, but a
 * NaN first sample gives NaN for both. n_samples = 0 leaves both untouched. */
CYBCI_API void cy_bci_connect_minmax(const double* data, size_t n_channels, size_t n_samples,
                                     double* out_min, double* out_max);

/* Arithmetic mean of each channel into out[ch]: the samples summed in index
 * order, divided by n_samples. n_samples = 0 gives NaN for every channel. */
CYBCI_API void cy_bci_connect_mean(const double* data, size_t n_channels, size_t n_samples,
                                   double* out);

/* Population standard deviation (divisor N, not N - 1) of each channel into
 * out[ch]. n_samples = 0 gives NaN for every channel. */
CYBCI_API void cy_bci_connect_std(const double* data, size_t n_channels, size_t n_samples,
                                  double* out);

/* ---- Normalisation: element-wise, out may equal data -------------------- */

/* out[i] = x[i] - mean of x's channel. out may be data itself (in-place). */
CYBCI_API void cy_bci_connect_demean(const double* data, size_t n_channels, size_t n_samples,
                                     double* out);

/* out[i] = (x[i] - mean) / std of x's channel (population std). A constant
 * channel has std 0 and gives NaN (or +-infinity) without any guard. out may
 * be data itself (in-place). */
CYBCI_API void cy_bci_connect_standartize(const double* data, size_t n_channels,
                                          size_t n_samples, double* out);

/* Bias-adjusted exponentially weighted moving average, restarted at the start
 * of every channel: with q = 1 - alpha,
 *   out[k] = sum_{j=0..k} q^j x[k-j] / sum_{j=0..k} q^j.
 * alpha = 1 returns the input; alpha = 0 the running arithmetic mean. alpha
 * is not validated. out may be data itself (in-place). n_samples = 0 leaves
 * out untouched. */
CYBCI_API void cy_bci_connect_ewma(const double* data, size_t n_channels, size_t n_samples,
                                   double* out, double alpha);

/* Running standardisation built on the EWMA above: with m = ewma(x),
 * d = x - m and v = ewma(d * d), out[i] = d[i] / max(sqrt(v[i]), epsilon),
 * where the maximum takes sqrt(v[i]) only when it is strictly greater than
 * epsilon (a NaN deviation yields epsilon). The first sample of every channel
 * gives 0 for epsilon > 0 and NaN for epsilon = 0. out may be data itself
 * (in-place). n_samples = 0 leaves out untouched. Allocates two scratch
 * blocks of the input's size. */
CYBCI_API void cy_bci_connect_ewma_standartize(const double* data, size_t n_channels,
                                               size_t n_samples, double* out, double alpha,
                                               double epsilon);

/* ---- Detrend -------------------------------------------------------------- */

/* Removes a straight line a * t + b (t = sample index within the channel)
 * from every channel. The line is fitted by a trust-region least-squares
 * solve that starts from slope 1 and the mean of the first ceil(5 %) samples
 * and stops after at most five accepted steps or when the objective changes
 * by less than 1e-6. Where the solver converges in that budget the line is
 * the ordinary least-squares line; where the best line lies far from the
 * starting point the channel comes out only partly detrended. A NaN or
 * infinity in a channel makes every output of that channel NaN; other
 * channels are unaffected. out may be data itself (in-place). n_samples = 0
 * writes nothing. */
CYBCI_API void cy_bci_connect_detrend(const double* data, size_t n_channels, size_t n_samples,
                                      double* out);

/* ---- Spectrum and signal quality ---------------------------------------- */

/* One-sided spectrum of every channel. With N = n_samples rounded down to
 * an even number and B = n_samples / 2 + 1 bins, bin k of channel ch (the
 * frequency k * sampling_rate / N) goes to magnitude[ch * B + k] and
 * phase[ch * B + k]; both arrays hold n_channels * B doubles. The transform
 * covers samples 0 .. N - 1 of each channel (an odd channel's last sample is
 * ignored), with no window. magnitude = |X_k| / N (no one-sided doubling: the
 * DC bin is the channel mean, a sinusoid on bin k shows half its amplitude);
 * phase = atan2(Im X_k, Re X_k) in radians. sampling_rate has no influence on
 * the result. n_samples < 2 writes nothing. data is only read; magnitude and
 * phase must not overlap it or each other. One transform set-up per call,
 * reused for every channel; lengths with large prime factors cost more time
 * but give the same result. */
CYBCI_API void cy_bci_connect_fft(const double* data, size_t n_channels, size_t n_samples,
                                  double* magnitude, double* phase, double sampling_rate);

/* Grades every channel into quality[ch]: 0.0 bad, 1.0 noisy, 2.0 good.
 * Each channel is detrended first (as cy_bci_connect_detrend). Grade 0: the
 * detrended range max - min is >= 500, or its MAD is <= 1 or >= 50 (units of
 * the data). Otherwise grade 2 when the magnitudes of the 50 Hz and the 60 Hz
 * bins are both below twice the mean magnitude of the bins from 5 Hz up to
 * (excluding) 15 Hz, else grade 1 (also for an empty or all-zero 5-15 Hz
 * band). Bin indices are truncated: i_f = (f * n_samples) / sampling_rate.
 * The spectral test needs n_samples >= 2 and sampling_rate >= 120 Hz (so
 * that the 60 Hz bin lies inside the spectrum); below either, and for a NaN
 * rate, the grade is 0 or 1 from the amplitude test alone. n_samples = 0
 * grades every channel 0. A channel holding NaN or infinity detrends to NaN
 * and grades 0. data is not modified. Allocates a copy of the block and its
 * spectra. */
CYBCI_API void cy_bci_connect_get_signal_quality(const double* data, size_t n_channels,
                                                 size_t n_samples, double* quality,
                                                 double sampling_rate);

/* ---- Zero-phase Butterworth filters, in place --------------------------- */
/*
 * Each filter designs a Butterworth cascade for the call, then runs every
 * channel of data through it forward and then backward, from zero state both
 * times, and overwrites data with the result: zero phase and the squared
 * magnitude response of the design (at a low-pass or high-pass cut-off,
 * -6.02 dB). The channel ends are not extended, so both ends show start-up
 * transients. Each call starts afresh: consecutive blocks of a stream are
 * filtered independently. A tiny offset of +-1e-8 (alternating sign) enters
 * every sample to keep the recursion clear of denormals. Each channel comes
 * out bit-identical to the same channel filtered alone. For a stream filtered
 * chunk by chunk, see the online filters (cybciconnect/online_filter.h),
 * which carry their state from one chunk to the next. Frequencies are in
 * Hz and not validated: values at or beyond the Nyquist frequency, negative
 * values or a zero sampling_rate give an unstable design and non-finite
 * output. No heap memory is used. n_channels = 0 or n_samples = 0 leaves data
 * untouched.
 */

/* Fifth-order low-pass with the given cut-off. */
CYBCI_API void cy_bci_connect_filter_lowpass(double* data, size_t n_channels, size_t n_samples,
                                             double sampling_rate, double cutoff);

/* Fifth-order high-pass with the given cut-off. */
CYBCI_API void cy_bci_connect_filter_highpass(double* data, size_t n_channels,
                                              size_t n_samples, double sampling_rate,
                                              double cutoff);

/* Fourth-order band-pass from low to high (centre high - (high - low) / 2,
 * width high - low; band edges closer than 1e-8 rad to 0 or to the Nyquist
 * frequency are moved inside). Requires low < high. */
CYBCI_API void cy_bci_connect_filter_bandpass(double* data, size_t n_channels,
                                              size_t n_samples, double sampling_rate,
                                              double low, double high);

/* Fourth-order band-stop whose stop band is width wide around center (edges
 * center +- width / 2 before pre-warping); not a second-order notch. */
CYBCI_API void cy_bci_connect_filter_notch(double* data, size_t n_channels, size_t n_samples,
                                           double sampling_rate, double center, double width);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(cy_version) == 3, "cy_version is three bytes");
#else
typedef char cy_bci_connect_version_is_three_bytes[sizeof(cy_version) == 3 ? 1 : -1];
#endif

#endif /* CYBCICONNECT_H */
