/*
 * Online (causal) Butterworth filters for streams that arrive in chunks.
 *
 * A filter object holds the second-order sections of one or more Butterworth
 * designs and, per channel, the state of every section. Each call to
 * cy_bci_online_filter_process continues where the previous one stopped, so
 * filtering a stream chunk by chunk gives the same samples as filtering the
 * whole recording at once, whatever the chunk lengths. The recursion is the
 * transposed direct form II of every section in turn (what SciPy's sosfilt
 * runs), without any denormal offset.
 *
 * Designs. The sections come from the same Butterworth design code as the
 * zero-phase filters of cybciconnect.h; `order` counts as in SciPy's butter:
 * a low-pass or high-pass of order N has N poles (ceil(N / 2) sections), a
 * band-pass or band-stop of order N has 2N poles (N sections). Band edges are
 * f1 < f2; the design takes centre f2 - (f2 - f1) / 2 and width f2 - f1, as
 * cy_bci_connect_filter_bandpass does. Odd-order high-pass designs have the
 * sign of their first-order section turned so that the gain at the Nyquist
 * frequency is +1 (the zero-phase filters run the section twice, which
 * cancels the sign; a causal filter would otherwise invert the signal).
 *
 * Unlike the zero-phase entry points, the constructors check their arguments
 * and refuse any design that would not be stable in double precision.
 *
 * Block layout. process takes and gives channel-major blocks of
 * n_channels x n_samples doubles, as every function of cybciconnect.h.
 *
 * Threads. A filter object carries state: it is used by one thread at a time
 * (no call on one object may overlap another call on the same object, and the
 * caller provides the ordering when an object moves between threads).
 * Distinct objects share nothing and may be used from any number of threads
 * at once. No function blocks, starts a thread or calls back.
 */
#ifndef CYBCICONNECT_ONLINE_FILTER_H
#define CYBCICONNECT_ONLINE_FILTER_H

#include <stddef.h>

#ifndef CYBCI_API
#if defined(__GNUC__)
#define CYBCI_API __attribute__((visibility("default")))
#else
#define CYBCI_API
#endif
#endif

/* In C++ the enumerations below are given int as their underlying type, so
 * that any value a C host passes (a wrong one included) is a valid value the
 * library can check; the layout is the same int either way. */
#ifdef __cplusplus
#define CYBCI_INT_ENUM : int
#else
#define CYBCI_INT_ENUM
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum cy_bci_filter_kind CYBCI_INT_ENUM {
  CY_BCI_FILTER_LOWPASS = 0,  /* f1: cut-off; f2 must be 0 */
  CY_BCI_FILTER_HIGHPASS = 1, /* f1: cut-off; f2 must be 0 */
  CY_BCI_FILTER_BANDPASS = 2, /* pass band f1 .. f2 */
  CY_BCI_FILTER_BANDSTOP = 3  /* stop band f1 .. f2 (a notch with a width) */
} cy_bci_filter_kind;

typedef enum cy_bci_filter_error CYBCI_INT_ENUM {
  CY_BCI_FILTER_OK = 0,
  CY_BCI_FILTER_BAD_KIND = 1,      /* kind is none of cy_bci_filter_kind */
  CY_BCI_FILTER_BAD_ORDER = 2,     /* order outside 1 .. CY_BCI_FILTER_MAX_ORDER */
  CY_BCI_FILTER_BAD_RATE = 3,      /* sampling rate not finite or not above 0 */
  CY_BCI_FILTER_BAD_FREQUENCY = 4, /* a frequency outside (0, rate / 2), f1 >= f2 for a band,
                                      or f2 != 0 for a low-pass or high-pass */
  CY_BCI_FILTER_UNSTABLE = 5,      /* the design has a pole on or outside the unit circle in
                                      double precision (an edge too close to 0 or to the
                                      Nyquist frequency for the order) */
  CY_BCI_FILTER_BAD_ARGUMENT = 6,  /* null pointer, no channels, no stages, or too many */
  CY_BCI_FILTER_NO_MEMORY = 7
} cy_bci_filter_error;

/* How the state starts (cy_bci_online_filter_reset). */
typedef enum cy_bci_filter_initial CYBCI_INT_ENUM {
  /* All section states zero: the output starts as if the input had been 0
   * forever, so a channel offset rings through the first seconds. */
  CY_BCI_FILTER_INITIAL_ZERO = 0,
  /* The next sample each channel processes, x0, sets that channel's state to
   * the steady state of a constant input x0 (SciPy's sosfilt_zi(sos) * x0):
   * an electrode offset of any size then starts without a transient. */
  CY_BCI_FILTER_INITIAL_STEADY = 1
} cy_bci_filter_initial;

#define CY_BCI_FILTER_MAX_ORDER 8
/* At most this many designs in one chain. */
#define CY_BCI_FILTER_MAX_CHAIN 8

/* One design of a chain; the fields mean what the arguments of
 * cy_bci_online_filter_new mean. */
typedef struct cy_bci_filter_stage {
  cy_bci_filter_kind kind;
  int order;
  double f1;
  double f2;
} cy_bci_filter_stage;

typedef struct cy_bci_online_filter cy_bci_online_filter;

/* Creates a filter of one Butterworth design for n_channels channels at
 * sampling_rate Hz, its state zero. Frequencies in Hz. Returns the object
 * (owned by the caller, released with cy_bci_online_filter_free) and stores
 * CY_BCI_FILTER_OK in *error; on failure returns NULL and stores the reason
 * (error may be NULL when the caller does not want it). */
CYBCI_API cy_bci_online_filter* cy_bci_online_filter_new(cy_bci_filter_kind kind, int order,
                                                         double sampling_rate, double f1,
                                                         double f2, size_t n_channels,
                                                         cy_bci_filter_error* error);

/* Creates one filter that runs n_stages designs one after the other (for
 * example a band-pass 1-40 Hz, then band-stops 48-52 Hz and 98-102 Hz): the
 * sections of stages[0] first. The result equals running single filters of
 * each stage in turn. 1 <= n_stages <= CY_BCI_FILTER_MAX_CHAIN. Errors,
 * ownership and *error as cy_bci_online_filter_new; the first stage in error
 * decides the code. */
CYBCI_API cy_bci_online_filter* cy_bci_online_filter_new_chain(const cy_bci_filter_stage* stages,
                                                               size_t n_stages,
                                                               double sampling_rate,
                                                               size_t n_channels,
                                                               cy_bci_filter_error* error);

/* Filters the next n_samples of every channel: in and out are channel-major
 * blocks of n_channels x n_samples doubles (the channel count given at
 * creation). out may be in itself (in place); other overlaps are not
 * allowed. Any n_samples, 0 included (nothing happens, and a pending steady
 * start stays pending). A NaN or infinity entering a channel makes all its
 * later output NaN until the next reset. Does not allocate. */
CYBCI_API void cy_bci_online_filter_process(cy_bci_online_filter* filter, const double* in,
                                            size_t n_samples, double* out);

/* Restarts every channel: zero state, or the steady state for the next
 * sample (see cy_bci_filter_initial). Returns CY_BCI_FILTER_BAD_ARGUMENT for
 * a null filter or an unknown mode (the state is then unchanged), else
 * CY_BCI_FILTER_OK. */
CYBCI_API cy_bci_filter_error cy_bci_online_filter_reset(cy_bci_online_filter* filter,
                                                         cy_bci_filter_initial initial);

/* Number of second-order sections and channels of the filter. */
CYBCI_API size_t cy_bci_online_filter_sections(const cy_bci_online_filter* filter);
CYBCI_API size_t cy_bci_online_filter_channels(const cy_bci_online_filter* filter);

/* Copies the sections into sos, six doubles per section in SciPy's layout
 * (b0, b1, b2, 1, a1, a2), the first section first; sos holds
 * 6 * cy_bci_online_filter_sections(filter) doubles. */
CYBCI_API void cy_bci_online_filter_get_sos(const cy_bci_online_filter* filter, double* sos);

/* Releases the filter; NULL is ignored. */
CYBCI_API void cy_bci_online_filter_free(cy_bci_online_filter* filter);

/* A constant English sentence describing the code (never NULL; owned by the
 * library). */
CYBCI_API const char* cy_bci_online_filter_error_text(cy_bci_filter_error error);

#ifdef __cplusplus
}
#endif

#endif /* CYBCICONNECT_ONLINE_FILTER_H */
