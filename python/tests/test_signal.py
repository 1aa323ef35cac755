"""calyra.signal against SciPy and numpy, and the array conventions."""

import numpy as np
import pytest
from scipy import signal as sps

import calyra
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


# ---- online filters -----------------------------------------------------------

BANDS = {"lowpass": (30.0, None), "highpass": (1.0, None), "bandpass": (1.0, 40.0),
         "bandstop": (48.0, 52.0)}


def _chunks(n, kind, rng):
    """Chunk lengths covering n samples: fixed, or random (zeros included)."""
    if kind == "random":
        lengths = rng.integers(0, 60, size=n)
    else:
        lengths = np.full(n, kind)
    bounds = np.minimum(np.concatenate([[0], np.cumsum(lengths)]), n)
    return [(a, b) for a, b in zip(bounds[:-1], bounds[1:]) if a < n] + [(n, n)]


def _scipy_reference(sos, x, initial):
    zi = np.zeros((sos.shape[0], x.shape[0], 2))
    if initial == "steady":
        zi = sps.sosfilt_zi(sos)[:, None, :] * x[:, 0][None, :, None]
    return sps.sosfilt(sos, x, axis=-1, zi=zi)[0]


@pytest.mark.parametrize("rate", [250.0, 500.0, 1000.0])
@pytest.mark.parametrize("kind", list(BANDS))
def test_online_filter_equals_sosfilt_of_the_whole_signal_for_any_chunking(kind, rate):
    """Orders 1-8, zero and steady start, chunks of 1, 7, 25, 250 and random
    lengths: the chunks give SciPy's sosfilt of the whole signal (with zi from
    sosfilt_zi for the steady start), and the sections are SciPy's butter."""
    rng = np.random.default_rng(int(rate) + len(kind))
    n = 1000
    t = np.arange(n) / rate
    x = np.vstack([20 * np.sin(2 * np.pi * 10 * t + ch) + 8 * np.sin(2 * np.pi * 50 * t)
                   + 5 * rng.standard_normal(n) + 40 * ch for ch in range(3)])
    f1, f2 = BANDS[kind]
    for order in range(1, 9):
        design = sps.butter(order, f1 if f2 is None else [f1, f2], btype=kind, fs=rate,
                            output="sos")
        for initial in ("zero", "steady"):
            f = cs.OnlineFilter(kind, order, rate, f1, f2, channels=3, initial=initial)
            if initial == "zero":
                _assert_relative(sps.sosfilt(f.sos, x, axis=-1),
                                 sps.sosfilt(design, x, axis=-1), 1e-8)
            expected = _scipy_reference(f.sos, x, initial)
            for chunking in (1, 7, 25, 250, "random"):
                f.reset()
                y = np.hstack([f.process(x[:, a:b]) for a, b in _chunks(n, chunking, rng)])
                error = np.abs(y - expected)
                scale = np.max(np.abs(expected), axis=-1, keepdims=True)
                assert np.all(error <= np.maximum(1e-12 * scale, 1e-9)), \
                    (order, initial, chunking, np.max(error))


def test_online_filter_chain_blocks_in_place_and_arguments(eeg):
    stages = [("bandpass", 4, 1, 40), ("bandstop", 2, 48, 52), ("highpass", 1, 0.5)]
    chain = cs.OnlineFilter.chain(stages, RATE, channels=4)
    sos = np.vstack([sps.butter(4, [1, 40], "bandpass", fs=RATE, output="sos"),
                     sps.butter(2, [48, 52], "bandstop", fs=RATE, output="sos"),
                     sps.butter(1, 0.5, "highpass", fs=RATE, output="sos")])
    _assert_relative(chain.process(eeg), _scipy_reference(sos, eeg, "steady"), 1e-9)

    single = cs.OnlineFilter("lowpass", 4, RATE, 30, channels=4, initial="zero")
    expected = single.process(eeg)
    single.reset()
    buffer = eeg.copy()
    assert single.process(buffer, out=buffer) is buffer
    assert np.array_equal(buffer, expected)
    one = cs.OnlineFilter("lowpass", 4, RATE, 30, initial="zero")
    assert np.array_equal(one.process(eeg[1]), expected[1])  # 1-D: one channel
    block = calyra.Block(data=eeg, sample_numbers=np.arange(eeg.shape[1], dtype=np.uint64),
                         rate=RATE, channel_names=["E1", "E2", "E3", "E4"],
                         filled=np.zeros(eeg.shape[1], dtype=bool))
    single.reset()
    assert np.array_equal(single.process(block), expected)

    with pytest.raises(ValueError, match="2 channel"):
        cs.OnlineFilter("lowpass", 4, RATE, 30, channels=2).process(eeg)
    for args, kw in [(("lowpass", 0, RATE, 30), {}), (("lowpass", 9, RATE, 30), {}),
                     (("lowpass", 4, RATE, 125), {}), (("lowpass", 4, 0, 30), {}),
                     (("lowpass", 4, RATE, 30, 40), {}), (("bandpass", 4, RATE, 30), {}),
                     (("bandpass", 4, RATE, 40, 30), {}), (("notch", 4, RATE, 50), {}),
                     (("lowpass", 2.5, RATE, 30), {}), (("lowpass", 4, RATE, 30), {"channels": 0}),
                     (("lowpass", 4, RATE, 30), {"initial": "first"})]:
        with pytest.raises(ValueError):
            cs.OnlineFilter(*args, **kw)


def test_signal_functions_take_a_block_and_say_what_they_expect(eeg):
    block = calyra.Block(data=eeg, sample_numbers=np.arange(eeg.shape[1], dtype=np.uint64),
                         rate=RATE, channel_names=["E1", "E2", "E3", "E4"],
                         filled=np.zeros(eeg.shape[1], dtype=bool))
    assert np.array_equal(cs.bandpass(block, RATE, 1, 40), cs.bandpass(eeg, RATE, 1, 40))
    assert np.array_equal(cs.detrend(block), cs.detrend(eeg))
    assert np.array_equal(cs.mean(block), cs.mean(eeg))
    assert np.array_equal(cs.quality(block, RATE), cs.quality(eeg, RATE))
    with pytest.raises(TypeError, match="calyra.Block"):
        cs.bandpass({"data": eeg}, RATE, 1, 40)
