"""Time from the library's stream clock: per-sample timestamps, annotations
at a monotonic time, and the measurement date of MNE recordings."""

import ctypes
import datetime
import time

import numpy as np

import calyra
from calyra import _capi


def _read_seconds(h, seconds):
    blocks = []
    while sum(map(len, blocks)) < seconds * h.rate:
        blocks.append(h.read(timeout=5))
    return calyra.Block.concatenate(blocks)


def test_timestamps_are_the_clocks_times_of_the_samples(virtual):
    open_headset = virtual("CY KESTREL 5")
    with open_headset("CY KESTREL 5") as h:
        h.start()
        started = time.monotonic()
        block = _read_seconds(h, 2.0)
        h.stop()  # the clock holds until the next start
        numbers = block.sample_numbers
        stamps = h.time_of(numbers)
        cy = _capi.cycore()
        for n, stamp in zip(numbers[::37], stamps[::37]):
            ns = ctypes.c_int64()
            assert cy.cy_eeg_manager_time_of_sample(h._handle, float(n), ctypes.byref(ns)) == 0
            assert abs(stamp - ns.value * 1e-9) < 2e-9
        tail = block.timestamps[-h.rate:]
        assert np.all(np.isfinite(tail)) and np.all(np.diff(tail) > 0)
        assert 0.99 < np.mean(np.diff(stamps)) * h.rate < 1.01
        assert started - 0.5 < stamps[0] < started + 1.0


def test_block_timestamps_are_the_published_times_and_never_step(virtual):
    # A fast drifting crystal and a slow radio: the clock's line keeps
    # moving in the first seconds, the timestamps of consecutive blocks may not.
    open_headset = virtual("CY PLOVER 4,model=3,clock_ppm=2000,interval_ms=30,delay_ms=3")
    with open_headset("CY PLOVER 4") as h:
        h.start()
        blocks = []
        while sum(map(len, blocks)) < 4.0 * h.rate:
            blocks.append(h.read(timeout=5))
        h.stop()
        block = calyra.Block.concatenate(blocks)
        known = np.isfinite(block.timestamps)
        stamps, numbers = block.timestamps[known], block.sample_numbers[known]
        assert len(stamps) > 2 * h.rate
        steps = np.diff(stamps) / np.diff(numbers)
        # The sample period in host time (the crystal's) within 0.1 ms, from
        # the first second's line on (a slew of at most 1 % of the period).
        assert np.all(np.abs(steps - np.median(steps)) < 1e-4)
        cy = _capi.cycore()
        out = (ctypes.c_int64 * 1)()
        n = int(numbers[-1])
        assert cy.cy_eeg_manager_published_times(h._handle, n, 1, out) == 0
        assert abs(out[0] * 1e-9 - stamps[-1]) < 2e-9


def test_annotate_at_a_monotonic_time_lands_on_that_sample(virtual):
    open_headset = virtual("CY KESTREL 5")
    with open_headset("CY KESTREL 5") as h:
        h.start()
        block = _read_seconds(h, 1.6)
        stamps = h.time_of(block.sample_numbers)
        target = len(block) - 30
        h.annotate("flash", at=float(stamps[target]))
        h.annotate("now")
        h.stop()
        notes = dict((text, n) for n, text in h.annotations)
    assert notes["flash"] == int(block.sample_numbers[target])
    assert notes["now"] >= notes["flash"]


def test_recordings_carry_the_wall_clock_time_of_their_first_sample(virtual):
    open_headset = virtual("CY KESTREL 5")
    with open_headset("CY KESTREL 5") as h:
        h.start()
        _read_seconds(h, 1.2)  # the clock is known after about a second
        raw = calyra.record(h, seconds=1.0)
        ended = datetime.datetime.now(datetime.timezone.utc)
    started = raw.info["meas_date"]
    assert datetime.timedelta(seconds=0.5) < ended - started < datetime.timedelta(seconds=2.5)
