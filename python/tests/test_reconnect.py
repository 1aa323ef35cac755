"""Headset(reconnect=True): reading goes on across link losses, on one
sample axis, the outages filled to their true length."""

import threading
import time

import numpy as np
import pytest

import calyra


def _pulses(block):
    """Sample numbers where a +300 uV trigger pulse starts on E1 (the
    synthetic signal without mains stays within tens of microvolts)."""
    high = (block.data[0] > 200.0) & ~block.filled
    starts = np.flatnonzero(high & ~np.r_[False, high[:-1]])
    return block.sample_numbers[starts].astype(np.int64)


def test_record_goes_on_across_three_outages_with_each_gap_its_true_length(virtual):
    mne = pytest.importorskip("mne")
    open_headset = virtual("CY KESTREL 5,line=0")
    fired = []

    def drive():
        start = time.monotonic()
        for trigger_at, drop_at, down_ms in ((1.5, 2.0, 500), (4.5, 5.0, 1500), (9.0, 9.5, 3000),
                                             (16.0, None, 0)):
            time.sleep(max(0.0, start + trigger_at - time.monotonic()))
            before = time.monotonic()
            try:
                calyra.virtual.trigger("CY KESTREL 5")
                fired.append((before + time.monotonic()) / 2)
            except calyra.CalyraError:
                pass  # not streaming at that moment: no pulse
            if drop_at is not None:
                time.sleep(max(0.0, start + drop_at - time.monotonic()))
                calyra.virtual.drop_link_for("CY KESTREL 5", down_ms)

    with open_headset("CY KESTREL 5", reconnect=True) as h:
        h.configure(electrodes=[1, 2])
        driver = threading.Thread(target=drive)
        h.start()
        driver.start()
        blocks = []
        wanted = 18 * h.rate
        while sum(len(b) for b in blocks) < wanted:
            blocks.append(h.read(wanted - sum(len(b) for b in blocks)))
        h.stop()
        driver.join()
        outages = list(h.outages)
    block = calyra.Block.concatenate(blocks)
    assert np.array_equal(block.sample_numbers, np.arange(wanted, dtype=np.uint64))
    assert len(outages) == 3
    assert block.link_lost.sum() == sum(o.filled for o in outages)
    assert np.all(np.diff(block.timestamps[np.isfinite(block.timestamps)]) > 0)
    found = _pulses(block)
    assert len(found) == len(fired) >= 4
    expected = np.diff(np.asarray(fired)) * h.rate
    assert np.all(np.abs(np.diff(found) - expected) <= 1.5), (np.diff(found), expected)
    raw = block.to_mne()
    lost = [a for a in raw.annotations if a["description"] == "BAD_link_lost"]
    assert len(lost) == 3
    assert isinstance(raw, mne.io.BaseRaw)


def test_without_reconnect_a_lost_link_still_raises(virtual):
    open_headset = virtual("CY KESTREL 5,pace=fast,drop_after=6")
    with open_headset("CY KESTREL 5") as h:
        h.start()
        with pytest.raises(calyra.LinkLost):
            while True:
                h.read()


def test_a_headset_that_does_not_come_back_raises_link_lost_at_the_timeout(virtual):
    open_headset = virtual("CY KESTREL 5,pace=fast,drop_after=6,down_ms=600000")
    with open_headset("CY KESTREL 5", reconnect=True, reconnect_timeout=1.0) as h:
        h.start()
        started = time.monotonic()
        with pytest.raises(calyra.LinkLost, match="did not come back within 1 s"):
            while True:
                h.read()
        assert time.monotonic() - started < 10
