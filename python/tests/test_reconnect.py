"""Headset(reconnect=True): reading goes on across link losses, on one
sample axis, the outages filled to their true length."""

import threading
import time
import warnings

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


@pytest.mark.parametrize("how", ["close", "stop"])
def test_closing_or_stopping_from_another_thread_ends_a_reconnect(virtual, how):
    open_headset = virtual("CY KESTREL 5,pace=fast,drop_after=6,down_ms=600000")
    h = open_headset("CY KESTREL 5", reconnect=True, reconnect_timeout=None)
    h.start()
    ended = []

    def reader():
        try:
            while True:
                h.read()
        except calyra.CalyraError as e:
            ended.append(e)

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    time.sleep(1.0)  # the link is lost, the reader is searching for the headset
    getattr(h, how)()
    thread.join(15)
    assert not thread.is_alive(), "read() went on reconnecting"
    assert ended and not isinstance(ended[0], calyra.LinkLost), ended


def test_a_reconnect_interrupted_before_its_stream_is_placed_leaves_no_misnumbered_sample(
        virtual):
    open_headset = virtual("CY KESTREL 5,drop_after=10")
    with open_headset("CY KESTREL 5", reconnect=True) as h:
        h.start()
        last = -1

        def interrupted(m):
            time.sleep(0.5)  # the new stream delivers meanwhile
            raise KeyboardInterrupt

        h._first_sample_host = interrupted
        with pytest.raises(KeyboardInterrupt):
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                last = int(h.read().sample_numbers[-1])
        try:
            later = h.read(timeout=1.0).sample_numbers
        except calyra.NotStreaming:
            later = np.zeros(0)
        assert np.all(later > last), (last, later[:5])


def test_samples_dropped_before_a_link_loss_do_not_move_the_outage(virtual):
    open_headset = virtual("CY KESTREL 5,pace=fast,drop_after=40")
    with open_headset("CY KESTREL 5", reconnect=True, buffer_seconds=0.2, on_overrun="warn") as h:
        h.start()
        time.sleep(1.0)  # the buffer overflows, then the link drops
        numbers = []
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", calyra.BufferOverrunWarning)
            while len(numbers) < 3000:
                numbers.extend(h.read().sample_numbers.tolist())
        assert np.all(np.diff(numbers) > 0)
