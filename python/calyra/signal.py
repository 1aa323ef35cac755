"""Signal processing over numpy arrays, computed by libcybciconnect.

Every function takes a block of channels x samples (a 1-D array is one
channel) of any real dtype and memory layout; it is converted to a
C-contiguous float64 copy where needed, so the results are exactly those of
the C library. Element-wise functions return a new array of the input's
shape, or write into `out=` (a C-contiguous float64 array of that shape,
which may be the input itself for in-place work) and return it. Per-channel
functions return one value per channel (a float for 1-D input).

Frequencies are in Hz and checked against the Nyquist frequency before the
library is called: the library does not validate them and would return
non-finite samples.
"""

from collections import namedtuple

import numpy as np

from . import _capi

__all__ = ["lowpass", "highpass", "bandpass", "notch", "detrend", "fft", "quality",
           "median", "mad", "mean", "std", "mean_std", "minmax", "demean", "standardize",
           "ewma", "ewma_standardize", "Spectrum", "BAD", "NOISY", "GOOD"]

BAD, NOISY, GOOD = 0.0, 1.0, 2.0

Spectrum = namedtuple("Spectrum", "freqs magnitude phase")
Spectrum.__doc__ = """One-sided spectrum: freqs (Hz, or cycles per sample without a rate),
magnitude |X_k| / N and phase in radians, both channels x bins."""


def _lib():
    return _capi.cybciconnect()


def _ptr(a):
    return a.ctypes.data_as(_capi._D)


def _as_channels(data):
    """(float64 C-contiguous 2-D view or copy, was_1d)."""
    a = np.asarray(data)
    if np.iscomplexobj(a):
        raise TypeError("complex data is not supported")
    if a.ndim == 1:
        a = a[np.newaxis, :]
        one = True
    elif a.ndim == 2:
        one = False
    else:
        raise ValueError(f"expected channels x samples (1-D or 2-D), got {a.ndim}-D")
    return np.ascontiguousarray(a, dtype=np.float64), one


def _check_out(out, shape):
    if not isinstance(out, np.ndarray) or out.dtype != np.float64 \
            or not out.flags.c_contiguous or not out.flags.writeable:
        raise TypeError("out must be a writeable C-contiguous float64 numpy array")
    if out.shape != shape:
        raise ValueError(f"out has shape {out.shape}, expected {shape}")
    return out


def _elementwise(name, data, out, *extra):
    shape = np.shape(data)
    x, _ = _as_channels(data)
    if out is None:
        result = np.empty_like(x)
    else:
        result = _check_out(out, shape).reshape(x.shape)
    c, n = x.shape
    getattr(_lib(), name)(_ptr(x), c, n, _ptr(result), *extra)
    return result.reshape(shape) if out is None else out


def _per_channel(name, data, outputs=1, fill=np.nan):
    x, one = _as_channels(data)
    c, n = x.shape
    results = [np.full(c, fill, dtype=np.float64) for _ in range(outputs)]
    getattr(_lib(), name)(_ptr(x), c, n, *[_ptr(r) for r in results])
    results = [r[0] if one else r for r in results]
    return results[0] if outputs == 1 else tuple(results)


def _in_place(name, data, out, *params):
    shape = np.shape(data)
    if out is None:
        x, _ = _as_channels(data)
        result = x.copy() if np.shares_memory(x, np.asarray(data)) else x
    else:
        _check_out(out, shape)
        if out is not data:
            out[...] = np.asarray(data, dtype=np.float64)
        result = out.reshape((1, -1)) if out.ndim == 1 else out
        if result.ndim != 2:
            raise ValueError("expected channels x samples (1-D or 2-D)")
    c, n = result.shape
    getattr(_lib(), name)(_ptr(result), c, n, *[float(p) for p in params])
    return result.reshape(shape) if out is None else out


def _nyquist_check(rate, *freqs):
    rate = float(rate)
    if not rate > 0 or not np.isfinite(rate):
        raise ValueError("rate must be a positive number of samples per second")
    for f in freqs:
        if not 0.0 < f < rate / 2:
            raise ValueError(f"{f} Hz lies outside (0, {rate / 2}) Hz, the range the "
                             f"sampling rate {rate} Hz allows")


# ---- filters ------------------------------------------------------------------


def lowpass(data, rate, cutoff, out=None):
    """Zero-phase fifth-order Butterworth low-pass (forward and backward from
    zero state, so -6 dB at the cut-off; both ends show start-up transients)."""
    _nyquist_check(rate, cutoff)
    return _in_place("cy_bci_connect_filter_lowpass", data, out, rate, cutoff)


def highpass(data, rate, cutoff, out=None):
    """Zero-phase fifth-order Butterworth high-pass (see lowpass)."""
    _nyquist_check(rate, cutoff)
    return _in_place("cy_bci_connect_filter_highpass", data, out, rate, cutoff)


def bandpass(data, rate, low, high, out=None):
    """Zero-phase fourth-order Butterworth band-pass from low to high Hz."""
    _nyquist_check(rate, low, high)
    if not low < high:
        raise ValueError("low must lie below high")
    return _in_place("cy_bci_connect_filter_bandpass", data, out, rate, low, high)


def notch(data, rate, freq=50.0, width=4.0, out=None):
    """Zero-phase fourth-order Butterworth band-stop of `width` Hz around
    `freq` (mains hum: 50 or 60)."""
    _nyquist_check(rate, freq - width / 2, freq + width / 2)
    return _in_place("cy_bci_connect_filter_notch", data, out, rate, freq, width)


# ---- element-wise -------------------------------------------------------------


def detrend(data, out=None):
    """Removes the least-squares line from every channel (a channel holding
    NaN or infinity comes out all NaN)."""
    return _elementwise("cy_bci_connect_detrend", data, out)


def demean(data, out=None):
    """Subtracts every channel's mean."""
    return _elementwise("cy_bci_connect_demean", data, out)


def standardize(data, out=None):
    """(x - mean) / std per channel, population std; a constant channel gives
    NaN or infinity."""
    return _elementwise("cy_bci_connect_standartize", data, out)


def ewma(data, alpha, out=None):
    """Bias-adjusted exponentially weighted moving average per channel:
    out[k] = sum q^j x[k-j] / sum q^j with q = 1 - alpha (0 <= alpha <= 1)."""
    if not 0.0 <= alpha <= 1.0:
        raise ValueError("alpha must lie within 0..1")
    return _elementwise("cy_bci_connect_ewma", data, out, float(alpha))


def ewma_standardize(data, alpha, epsilon=1e-4, out=None):
    """Running standardisation: (x - ewma(x)) / max(sqrt(ewma(d^2)), epsilon)."""
    if not 0.0 <= alpha <= 1.0:
        raise ValueError("alpha must lie within 0..1")
    return _elementwise("cy_bci_connect_ewma_standartize", data, out, float(alpha),
                        float(epsilon))


# ---- per channel --------------------------------------------------------------


def median(data):
    """Median per channel (NaN for an empty channel)."""
    return _per_channel("cy_bci_connect_median", data)


def mad(data):
    """Median absolute deviation per channel, unscaled."""
    return _per_channel("cy_bci_connect_mad", data)


def mean(data):
    """Mean per channel."""
    return _per_channel("cy_bci_connect_mean", data)


def std(data):
    """Population standard deviation per channel."""
    return _per_channel("cy_bci_connect_std", data)


def mean_std(data):
    """(mean, population std) per channel."""
    return mean(data), std(data)


def minmax(data):
    """(min, max) per channel."""
    return _per_channel("cy_bci_connect_minmax", data, outputs=2)


def quality(data, rate):
    """Grade per channel: BAD (0.0), NOISY (1.0) or GOOD (2.0). A channel is
    bad when its detrended range reaches 500 or its MAD lies outside (1, 50)
    (units of the data, microvolts for headset data); it is noisy when the
    50 Hz or 60 Hz bin exceeds twice the mean 5-15 Hz magnitude."""
    x, one = _as_channels(data)
    c, n = x.shape
    grades = np.zeros(c, dtype=np.float64)
    _lib().cy_bci_connect_get_signal_quality(_ptr(x), c, n, _ptr(grades), float(rate))
    return grades[0] if one else grades


def fft(data, rate=None):
    """One-sided spectrum of every channel over an even number of samples (an
    odd last sample is ignored), no window: Spectrum(freqs, magnitude,
    phase) with magnitude = |X_k| / N."""
    x, one = _as_channels(data)
    c, n = x.shape
    if n < 2:
        raise ValueError("fft needs at least two samples")
    bins = n // 2 + 1
    magnitude = np.empty((c, bins))
    phase = np.empty((c, bins))
    _lib().cy_bci_connect_fft(_ptr(x), c, n, _ptr(magnitude), _ptr(phase),
                              float(rate) if rate else 1.0)
    even = n - n % 2
    freqs = np.arange(bins) * ((float(rate) if rate else 1.0) / even)
    if one:
        magnitude, phase = magnitude[0], phase[0]
    return Spectrum(freqs, magnitude, phase)
