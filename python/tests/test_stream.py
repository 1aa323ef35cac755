"""The receive buffer: overruns, link loss, stop and timeouts never leave a
reader waiting or data silently missing."""

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import calyra
from packets import Stream


def _drain(h):
    """Every buffered sample after a stop."""
    blocks = []
    while True:
        try:
            blocks.append(h.read())
        except calyra.NotStreaming:
            return calyra.Block.concatenate(blocks)


def _wait_for_packets(name, count):
    deadline = time.monotonic() + 5
    while calyra.virtual.stats(name).packets_sent < count:
        assert time.monotonic() < deadline, "the headset sent too few packets"
        time.sleep(0.01)


def test_overrun_is_counted_and_raised_and_the_rest_stays_readable(virtual):
    open_headset = virtual("CY KESTREL 5,pace=fast")
    with open_headset("CY KESTREL 5", buffer_seconds=1.0) as h:  # 250 samples
        before = calyra.virtual.stats("CY KESTREL 5").packets_sent
        h.start()
        _wait_for_packets("CY KESTREL 5", before + 20)  # 1000 samples, 4 buffers' worth
        h.stop()
        with pytest.raises(calyra.BufferOverrun) as e:
            h.read()
        rest = _drain(h)
    # The newest samples were kept; everything before them was counted.
    assert len(rest) == 250
    assert e.value.dropped == int(rest.sample_numbers[0]) > 0
    assert np.all(np.diff(rest.sample_numbers.astype(np.int64)) == 1)


def test_overrun_can_warn_instead(virtual):
    open_headset = virtual("CY KESTREL 5,pace=fast")
    with open_headset("CY KESTREL 5", buffer_seconds=1.0, on_overrun="warn") as h:
        before = calyra.virtual.stats("CY KESTREL 5").packets_sent
        h.start()
        _wait_for_packets("CY KESTREL 5", before + 20)
        h.stop()
        with pytest.warns(calyra.BufferOverrunWarning):
            block = h.read()
        assert block.dropped == int(block.sample_numbers[0]) > 0
        assert len(block) == 250


def test_latest_peeks_without_consuming(virtual, tmp_path):
    stream = Stream(packets=4)
    open_headset = virtual(f"CY KESTREL 5,pace=fast,replay={stream.write(tmp_path / 'p.hex')}")
    with open_headset("CY KESTREL 5") as h:
        h.start()
        deadline = time.monotonic() + 5
        while len(h.latest(1000)) < 200 and time.monotonic() < deadline:
            time.sleep(0.01)
        peek = h.latest(30)
        assert np.array_equal(peek.sample_numbers, np.arange(170, 200, dtype=np.uint64))
        assert np.array_equal(h.read(500).sample_numbers, np.arange(200, dtype=np.uint64))
        with pytest.raises(calyra.StreamTimeout):
            h.read(timeout=0.1)  # the replay ended: nothing more comes


@pytest.mark.parametrize("how", ["drop_link", "drop_after"])
def test_link_loss_wakes_a_blocked_reader_within_a_second(virtual, how):
    devices = "CY KESTREL 5" + (",drop_after=6" if how == "drop_after" else "")
    open_headset = virtual(devices)
    with open_headset("CY KESTREL 5") as h:
        h.configure(electrodes=[2, 4], gain=[4, 12])
        h.start()
        outcome = {}

        def reader():
            try:
                while True:
                    h.read(timeout=None)
                    outcome.setdefault("first data", time.monotonic())
            except Exception as e:  # noqa: BLE001 - the test inspects it
                outcome["error"], outcome["at"] = e, time.monotonic()

        t = threading.Thread(target=reader, daemon=True)
        t.start()
        while "first data" not in outcome:
            time.sleep(0.01)
        dropped_at = time.monotonic()
        if how == "drop_link":
            calyra.virtual.drop_link("CY KESTREL 5")
        t.join(timeout=3)
        assert not t.is_alive(), "the reader stayed blocked after the link dropped"
        assert isinstance(outcome["error"], calyra.LinkLost)
        if how == "drop_link":
            assert outcome["at"] - dropped_at < 1.0
        with pytest.raises(calyra.LinkLost):
            h.start()
        # A new connection streams again, with the same configuration.
        h.connect()
        h.start()
        assert h.read(timeout=5).channel_names == ["E2", "E4"]
        record = calyra.virtual.config_record("CY KESTREL 5")
        assert list(record[1:5]) == [0, 4, 0, 12]  # gain multipliers per electrode


def test_stop_wakes_a_blocked_reader_and_ends_iteration(virtual):
    open_headset = virtual("CY KESTREL 5")
    with open_headset("CY KESTREL 5") as h:
        h.start()
        seen = []

        def consume():
            for block in h.stream(timeout=5):
                seen.append(len(block))

        t = threading.Thread(target=consume, daemon=True)
        t.start()
        while not seen:
            time.sleep(0.01)
        h.stop()
        t.join(timeout=3)
        assert not t.is_alive(), "stream() kept waiting after stop"
        with pytest.raises(calyra.NotStreaming):
            h.read()


def test_stream_stalls_are_reported(virtual, tmp_path):
    stream = Stream(packets=2)
    open_headset = virtual(f"CY KESTREL 5,pace=fast,replay={stream.write(tmp_path / 'p.hex')}")
    with open_headset("CY KESTREL 5") as h:
        h.start()
        got = 0
        with pytest.raises(calyra.StreamTimeout):
            for block in h.stream(timeout=0.3):
                got += len(block)
        assert got == 100


def test_a_dropped_streaming_headset_is_freed_without_further_callbacks(virtual):
    calyra.use_virtual_headsets("CY KESTREL 5,pace=fast;CY KESTREL 6,model=5,pace=fast")
    h = calyra.Headset("CY KESTREL 5")
    h.start()
    h.read(timeout=5)
    del h  # no close(): the finaliser frees the manager while chunks arrive
    assert not calyra.virtual.stats("CY KESTREL 5").connected
    # The library is still sound: another headset streams.
    with calyra.Headset("CY KESTREL 6") as k:
        k.start()
        assert len(k.read(timeout=5)) > 0


def test_losses_reach_the_counters_and_filled_flags_not_standard_output(tmp_path):
    code = ("import calyra\n"
            "calyra.use_virtual_headsets('CY KESTREL 5,pace=fast,loss=0.2')\n"
            "with calyra.Headset('CY KESTREL 5') as h:\n"
            "    h.start()\n"
            "    filled = 0\n"
            "    while filled < 500:\n"
            "        filled += int(h.read(timeout=5).filled.sum())\n"
            "    h.stop()\n"
            "    try:\n"
            "        while True:\n"
            "            filled += int(h.read().filled.sum())\n"
            "    except calyra.NotStreaming:\n"
            "        pass\n"
            "    print('filled', filled >= 500)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    assert out.returncode == 0, out.stderr
    assert out.stdout == "filled True\n"  # no "Configs(...)", no MISSED lines
