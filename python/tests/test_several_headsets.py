"""calyra.record() of several headsets at once: one Raw each, lined up on
one time axis by each headset's own drifting clock."""

import re
import threading
import time

import numpy as np

import calyra
import calyra.virtual

NAMES = ["CY SLOW 1", "CY SLOW 2", "CY FAST 3", "CY FAST 4"]
PPM = [-2000, -500, 500, 2000]
PERIOD = 1 / 250


def test_record_of_several_headsets_lines_their_raws_up_by_their_own_clocks(virtual):
    # PLOVERs (E1 streamed), real time, crystals 4000 ppm apart.
    open_headset = virtual(";".join(f"{n},model=3,clock_ppm={p}" for n, p in zip(NAMES, PPM)))
    headsets = [open_headset(n) for n in NAMES]
    fired = []

    def pull_triggers():
        time.sleep(2.5)
        for name in NAMES:
            fired.append(time.monotonic())
            calyra.virtual.trigger(name)

    puller = threading.Thread(target=pull_triggers)
    puller.start()
    raws = calyra.record(headsets, seconds=4.0, timeout=5)
    puller.join()
    assert [h.streaming for h in headsets] == [False] * 4  # started by record(), stopped again

    wall_minus_monotonic = time.time() - time.monotonic()
    for raw, before in zip(raws, fired):
        assert raw.n_times == 1000
        found = re.match(r"first sample at ([0-9.]+) s on time.monotonic\(\); ([0-9.]+) samples per second",
                         raw.info["description"])
        assert found, raw.info["description"]
        first, rate = float(found.group(1)), float(found.group(2))
        assert abs(raw.info["meas_date"].timestamp() - wall_minus_monotonic - first) < 0.002
        # The pulse starts at the first sample taken after the call: by the
        # headset's clock, within a period after it (a sample either way
        # for the fit).
        pulse = int(np.flatnonzero(raw.get_data(picks="E1")[0] * 1e6 > 150)[0])
        at = first + pulse / rate
        assert before - PERIOD <= at <= before + 2 * PERIOD, (at - before) / PERIOD
    # Each headset's own rate, not the nominal one: the 4000 ppm between
    # them is 16 ms over these 4 s.
    rates = [float(re.search(r"; ([0-9.]+) samples", r.info["description"]).group(1)) for r in raws]
    assert rates[3] - rates[0] > 250 * 3000e-6


def test_record_of_several_headsets_keeps_what_arrived_when_one_drops(virtual):
    open_headset = virtual("CY KESTREL 5,pace=fast;CY DROP 6,pace=fast,drop_after=10")
    headsets = [open_headset("CY KESTREL 5"), open_headset("CY DROP 6")]
    try:
        calyra.record(headsets, seconds=60)
    except calyra.LinkLost as e:
        assert e.headset is headsets[1]
        assert e.raws[1].n_times == 500  # 10 packets of 50 samples
        assert e.raws[0] is not None
    else:
        raise AssertionError("the drop went unnoticed")
