"""calyra.signal against SciPy and numpy, and the array conventions."""

import numpy as np
import pytest
from scipy import signal as sps

from calyra import signal as cs

RATE = 250.0


@pytest.fixture(scope="module")
def eeg():
    """Four channels of 8 s: alpha, mains hum, a slow drift and noise."""
    rng = np.random.default_rng(3)
    t = np.arange(2000) / RATE
    x = np.vstack([
        20 * np.sin(2 * np.pi * 10 * t + ch) + 8 * np.sin(2 * np.pi * 50 * t)
        + 5 * t * (ch - 1.5) + 3 * rng.standard_normal(t.size) + 40 * ch
        for ch in range(4)])
    return x


def _zero_phase_reference(sos, x):
    """Forward then backward through the cascade from zero state, with the
    alternating +-1e-8 the library adds at the input of its first section
    (it flips once per sample and pass, starting at -1e-8)."""
    n = x.shape[-1]
    k = np.arange(2 * n)
    offset = np.where(k % 2 == 0, -1e-8, 1e-8)
    forward = sps.sosfilt(sos, x + offset[:n], axis=-1)
    backward = sps.sosfilt(sos, forward[..., ::-1] + offset[n:], axis=-1)
    return backward[..., ::-1]


def _assert_relative(actual, expected, tolerance):
    scale = np.max(np.abs(expected), axis=-1, keepdims=True)
    assert np.all(np.abs(actual - expected) <= tolerance * scale), \
        np.max(np.abs(actual - expected) / scale)


@pytest.mark.parametrize("name, call, design", [
    ("lowpass", lambda x: cs.lowpass(x, RATE, 30),
     sps.butter(5, 30, btype="lowpass", fs=RATE, output="sos")),
    ("highpass", lambda x: cs.highpass(x, RATE, 2),
     sps.butter(5, 2, btype="highpass", fs=RATE, output="sos")),
    ("bandpass", lambda x: cs.bandpass(x, RATE, 8, 13),
     sps.butter(4, [8, 13], btype="bandpass", fs=RATE, output="sos")),
    ("notch", lambda x: cs.notch(x, RATE, 50, 4),
     sps.butter(4, [48, 52], btype="bandstop", fs=RATE, output="sos")),
])
def test_filters_match_scipy_butterworth_forward_backward(eeg, name, call, design):
    _assert_relative(call(eeg), _zero_phase_reference(design, eeg), 1e-9)


def test_filter_inputs_are_converted_and_out_works_in_place(eeg):
    expected = cs.lowpass(eeg, RATE, 30)
    assert np.array_equal(cs.lowpass(np.asfortranarray(eeg), RATE, 30), expected)
    strided = np.repeat(eeg, 2, axis=1)[:, ::2]
    assert np.array_equal(cs.lowpass(strided, RATE, 30), expected)
    assert np.array_equal(cs.lowpass(list(eeg[0]), RATE, 30), expected[0])  # one channel
    as_float32 = eeg.astype(np.float32)
    assert np.array_equal(cs.lowpass(as_float32, RATE, 30),
                          cs.lowpass(as_float32.astype(np.float64), RATE, 30))
    original = eeg.copy()
    buffer = eeg.copy()
    assert cs.lowpass(buffer, RATE, 30, out=buffer) is buffer
    assert np.array_equal(buffer, expected)
    assert np.array_equal(eeg, original)  # without out the input is untouched
    with pytest.raises(TypeError):
        cs.lowpass(eeg, RATE, 30, out=np.empty(eeg.shape, dtype=np.float32))
    with pytest.raises(ValueError):
        cs.lowpass(eeg, RATE, 125)  # at Nyquist the design is unstable
    with pytest.raises(ValueError):
        cs.bandpass(eeg, RATE, 13, 8)


def test_fft_matches_numpy_rfft(eeg):
    spectrum = cs.fft(eeg, RATE)
    reference = np.fft.rfft(eeg, axis=-1)
    n = eeg.shape[1]
    _assert_relative(spectrum.magnitude, np.abs(reference) / n, 1e-12)
    strong = spectrum.magnitude > 1e-6 * spectrum.magnitude.max()
    assert np.allclose(spectrum.phase[strong], np.angle(reference)[strong], atol=1e-9)
    assert np.array_equal(spectrum.freqs, np.fft.rfftfreq(n, 1 / RATE))
    odd = cs.fft(eeg[:, :-1], RATE)  # the odd last sample is ignored
    assert np.allclose(odd.magnitude, np.abs(np.fft.rfft(eeg[:, :-2], axis=-1)) / (n - 2))


def test_detrend_matches_scipy_on_converging_data():
    rng = np.random.default_rng(5)
    t = np.arange(1000, dtype=float)
    x = np.vstack([1.0 * t + 3 + rng.standard_normal(t.size),
                   0.8 * t - 2 + 5 * np.sin(t / 20)])
    expected = sps.detrend(x, type="linear", axis=-1)
    _assert_relative(cs.detrend(x), expected, 1e-6)
    out = np.empty_like(x)
    assert cs.detrend(x, out=out) is out


def test_statistics_match_numpy(eeg):
    assert np.array_equal(cs.median(eeg), np.median(eeg, axis=1))
    assert np.array_equal(cs.median(eeg[:, :-1]), np.median(eeg[:, :-1], axis=1))  # even
    mad = np.median(np.abs(eeg - np.median(eeg, axis=1, keepdims=True)), axis=1)
    assert np.array_equal(cs.mad(eeg), mad)
    mean, std = cs.mean_std(eeg)
    assert np.allclose(mean, eeg.mean(axis=1), rtol=1e-13)
    assert np.allclose(std, eeg.std(axis=1), rtol=1e-12)
    low, high = cs.minmax(eeg)
    assert np.array_equal(low, eeg.min(axis=1)) and np.array_equal(high, eeg.max(axis=1))
    assert cs.median(eeg[0]) == np.median(eeg[0])  # one channel gives a number


def test_normalisations_match_their_formulas(eeg):
    assert np.allclose(cs.demean(eeg), eeg - eeg.mean(axis=1, keepdims=True), atol=1e-12)
    z = (eeg - eeg.mean(axis=1, keepdims=True)) / eeg.std(axis=1, keepdims=True)
    assert np.allclose(cs.standardize(eeg), z, atol=1e-12)
    alpha = 0.1
    weights = (1 - alpha) ** np.arange(eeg.shape[1])
    k = 300
    expected = (eeg[:, k::-1] * weights[:k + 1]).sum(axis=1) / weights[:k + 1].sum()
    assert np.allclose(cs.ewma(eeg, alpha)[:, k], expected, rtol=1e-12)
    inplace = eeg.copy()
    cs.demean(inplace, out=inplace)
    assert np.array_equal(inplace, cs.demean(eeg))
    with pytest.raises(ValueError):
        cs.ewma(eeg, 1.5)


def test_quality_grades_clean_hum_and_flat_channels():
    rng = np.random.default_rng(9)
    t = np.arange(1000) / RATE
    clean = 20 * np.sin(2 * np.pi * 10 * t) + 3 * rng.standard_normal(t.size)
    hum = clean + 30 * np.sin(2 * np.pi * 50 * t)
    flat = np.zeros_like(t)
    grades = cs.quality(np.vstack([clean, hum, flat]), RATE)
    assert list(grades) == [cs.GOOD, cs.NOISY, cs.BAD]
    assert list(cs.quality(np.vstack([cs.notch(hum, RATE, 50)]), RATE)) == [cs.GOOD]
