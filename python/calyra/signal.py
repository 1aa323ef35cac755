"""Signal processing over numpy arrays, computed by libcybciconnect.

Every function takes a block of channels x samples (a 1-D array is one
channel) of any real dtype and memory layout; it is converted to a
C-contiguous float64 copy where needed, so the results are exactly those of
the C library. Element-wise functions return a new array of the input's
shape, or write into `out=` (a C-contiguous float64 array of that shape,
which may be the input itself for in-place work) and return it. Per-channel
functions return one value per channel (a float for 1-D input).

Every function also takes a `calyra.Block` (its `data`, channels x
samples in microvolts) wherever it takes an array.

Frequencies are in Hz and checked against the Nyquist frequency before the
library is called: the library does not validate them and would return
non-finite samples.

The functions above filter one block on its own (zero phase, so they look
at both sides of every sample). `OnlineFilter` is the causal filter for a
stream that arrives in chunks: it carries its state from one `process`
call to the next, so the chunks come out exactly as the whole recording
would (SciPy's `sosfilt` with the state carried in `zi`).
"""

import ctypes
import operator
import threading
from collections import namedtuple

import numpy as np

from . import _capi
from .block import Block

__all__ = ["lowpass", "highpass", "bandpass", "notch", "detrend", "fft", "quality",
           "median", "mad", "mean", "std", "mean_std", "minmax", "demean", "standardize",
           "ewma", "ewma_standardize", "OnlineFilter", "Spectrum", "BAD", "NOISY", "GOOD"]

BAD, NOISY, GOOD = 0.0, 1.0, 2.0

Spectrum = namedtuple("Spectrum", "freqs magnitude phase")
Spectrum.__doc__ = """One-sided spectrum: freqs (Hz, or cycles per sample without a rate),
magnitude |X_k| / N and phase in radians, both channels x bins."""


def _lib():
    return _capi.cybciconnect()


def _ptr(a):
    return a.ctypes.data_as(_capi._D)


_EXPECTED = "channels x samples numbers (a 1-D or 2-D array, or a calyra.Block)"


def _samples(data):
    """The samples of a Block, anything else as it is."""
    return data.data if isinstance(data, Block) else data


def _as_channels(data):
    """(float64 C-contiguous 2-D view or copy, was_1d)."""
    a = np.asarray(_samples(data))
    if np.iscomplexobj(a):
        raise TypeError("complex data is not supported")
    if a.dtype == object or not (np.issubdtype(a.dtype, np.number) or a.dtype == bool):
        raise TypeError(f"expected {_EXPECTED}, got {type(data).__name__}")
    if a.ndim == 1:
        a = a[np.newaxis, :]
        one = True
    elif a.ndim == 2:
        one = False
    else:
        raise ValueError(f"expected {_EXPECTED}, got a {a.ndim}-D array")
    return np.ascontiguousarray(a, dtype=np.float64), one


def _check_out(out, shape):
    if not isinstance(out, np.ndarray) or out.dtype != np.float64 \
            or not out.flags.c_contiguous or not out.flags.writeable:
        raise TypeError("out must be a writeable C-contiguous float64 numpy array")
    if out.shape != shape:
        raise ValueError(f"out has shape {out.shape}, expected {shape}")
    return out


def _elementwise(name, data, out, *extra):
    data = _samples(data)
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
    data = _samples(data)
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


# ---- online filters -----------------------------------------------------------

_KINDS = {"lowpass": 0, "highpass": 1, "bandpass": 2, "bandstop": 3}
_INITIAL = {"zero": 0, "steady": 1}
_NO_MEMORY = 7


def _stage(kind, order, f1, f2):
    if kind not in _KINDS:
        raise ValueError(f"kind must be one of {', '.join(_KINDS)}, not {kind!r}")
    try:
        order = operator.index(order)
    except TypeError:
        raise ValueError(f"order must be a whole number, not {order!r}") from None
    band = kind in ("bandpass", "bandstop")
    if band and f2 is None:
        raise ValueError(f"a {kind} needs both band edges f1 and f2")
    if not band and f2 is not None:
        raise ValueError(f"a {kind} takes one frequency, f1; f2 must be None")
    # Out-of-range numbers are the library's to refuse (with its own text).
    return _capi.FilterStage(_KINDS[kind], max(min(order, 2**31 - 1), -2**31), float(f1),
                            float(f2) if band else 0.0)


class OnlineFilter:
    """Causal Butterworth filter of a stream that arrives in chunks.

    OnlineFilter(kind, order, rate, f1, f2=None, channels=1, initial="steady")

    kind       "lowpass", "highpass" (cut-off f1) or "bandpass", "bandstop"
               (band f1 .. f2 Hz), SciPy's names; order 1 to 8, counted as
               SciPy's butter counts it
    rate       samples per second
    channels   how many rows every chunk has
    initial    "steady": each channel starts in the steady state of its
               first sample (sosfilt_zi(sos) * x0), so an electrode offset
               does not ring; "zero": from zero state

    `process(chunk)` filters the next samples (a channels x samples array
    or a calyra.Block; a 1-D array for one channel) and returns a new array
    of the same shape, or writes into `out=` (C-contiguous float64, may be
    the input). The result equals scipy.signal.sosfilt(f.sos, x, zi=...)
    of the whole stream, however it is cut into chunks. `reset()` starts
    over. `OnlineFilter.chain(stages, rate, ...)` runs several designs one
    after the other in one object, e.g. [("bandpass", 4, 1, 40),
    ("bandstop", 2, 48, 52)]. Bad arguments raise ValueError. One object
    serves one stream; calls on one object are serialised by a lock.
    """

    def __init__(self, kind, order, rate, f1, f2=None, channels=1, initial="steady"):
        self._build([_stage(kind, order, f1, f2)], rate, channels, initial)

    @classmethod
    def chain(cls, stages, rate, channels=1, initial="steady"):
        """One filter running `stages` in turn: (kind, order, f1) or (kind,
        order, f1, f2) tuples."""
        self = cls.__new__(cls)
        stages = [tuple(stage) + (None,) * (4 - len(stage)) for stage in stages]
        self._build([_stage(*stage) for stage in stages], rate, channels, initial)
        return self

    def _build(self, stages, rate, channels, initial):
        self._handle = None
        if initial not in _INITIAL:
            raise ValueError(f"initial must be 'zero' or 'steady', not {initial!r}")
        try:
            channels = operator.index(channels)
        except TypeError:
            raise ValueError(f"channels must be a whole number, not {channels!r}") from None
        if channels < 1:
            raise ValueError("channels must be at least 1")
        lib = _lib()
        array = (_capi.FilterStage * len(stages))(*stages)
        error = ctypes.c_int(0)
        handle = lib.cy_bci_online_filter_new_chain(array, len(stages), float(rate), channels,
                                                    ctypes.byref(error))
        if not handle:
            text = lib.cy_bci_online_filter_error_text(error.value).decode()
            raise MemoryError(text) if error.value == _NO_MEMORY else ValueError(text)
        self._lock = threading.Lock()
        self._handle = handle
        self._free = lib.cy_bci_online_filter_free
        self.channels = channels
        self.rate = float(rate)
        self.initial = initial
        sos = np.empty((lib.cy_bci_online_filter_sections(handle), 6))
        lib.cy_bci_online_filter_get_sos(handle, _ptr(sos))
        self._sos = sos
        self.reset()

    @property
    def sos(self):
        """The sections, sections x 6 in SciPy's layout (b0, b1, b2, 1, a1,
        a2), first section first (a copy)."""
        return self._sos.copy()

    def reset(self, initial=None):
        """Starts over: `initial` ("zero" or "steady") or the one given at
        construction."""
        initial = self.initial if initial is None else initial
        if initial not in _INITIAL:
            raise ValueError(f"initial must be 'zero' or 'steady', not {initial!r}")
        with self._lock:
            _lib().cy_bci_online_filter_reset(self._handle, _INITIAL[initial])

    def process(self, data, out=None):
        """Filters the next chunk; returns the filtered samples."""
        samples = _samples(data)
        x, one = _as_channels(samples)
        if x.shape[0] != self.channels:
            raise ValueError(f"the filter has {self.channels} channel(s), the chunk "
                             f"{x.shape[0]}")
        if out is None:
            result = np.empty_like(x)
        else:
            result = _check_out(out, np.shape(samples)).reshape(x.shape)
        with self._lock:
            _lib().cy_bci_online_filter_process(self._handle, _ptr(x), x.shape[1],
                                                _ptr(result))
        if out is not None:
            return out
        return result[0] if one else result

    def __del__(self):
        if getattr(self, "_handle", None):
            self._free(self._handle)
            self._handle = None


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
