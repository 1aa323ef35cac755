"""Scan, connect, identity, settings, samples and firmware update against
virtual headsets."""

import time
import warnings

import numpy as np
import pytest

import calyra
from packets import Stream


def eventually(condition, seconds=2.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


def test_scan_lists_headsets_and_bluetooth_counts_as_enabled(virtual):
    virtual("CY KESTREL 5;CY FINCH 2,model=1,paired=1;CY HERON 3,model=2,paired=1,advertising=0")
    assert calyra.bluetooth_status() == "enabled"
    found = {r.name: r for r in calyra.scan(seconds=0)}
    assert set(found) == {"CY KESTREL 5", "CY FINCH 2", "CY HERON 3"}
    assert found["CY FINCH 2"].paired is True  # paired and advertising: listed twice
    assert found["CY KESTREL 5"].paired is None
    assert len(found["CY KESTREL 5"].address) == 17
    with pytest.raises(ValueError):
        calyra.scan(seconds=6)


def test_connect_reads_identity_battery_and_channels(virtual):
    open_headset = virtual("CY HERON 3,model=2,serial=SN042,battery=55,pace=fast")
    with open_headset("CY HERON 3") as h:
        info = h.info
        assert (info.model, info.model_code, info.electrode_count) == ("HERON", 2, 32)
        assert (info.hardware, info.firmware, info.serial) == ("2.0.0", "3.6.1", 42)
        assert info.compatible and info.capabilities.accelerometer
        assert h.battery == calyra.Battery(55, False, False)
        calyra.virtual.set_battery("CY HERON 3", 31, charging=True)
        # The notification arrives on the backend's thread.
        assert eventually(lambda: h.battery == calyra.Battery(31, True, True))

        h.configure(electrodes=[3, 1], accel=True, contact=False)
        assert [c.name for c in h.channels] == [
            "sample_number", "E1", "E3", "accel_x", "accel_y", "accel_z", "streaming"]
        assert [c.dtype for c in h.channels] == [
            "uint64", "float64", "float64", "float32", "float32", "float32", "uint8"]
        assert [c.type for c in h.channels] == ["misc", "eeg", "eeg"] + ["misc"] * 4
        h.start()
        block = h.read(200, timeout=5)
        assert block.data.shape[0] == 2 and block.channel_names == ["E1", "E3"]
        assert block.contact is None and block.accel.shape == (3, len(block))
        assert np.all(np.diff(block.sample_numbers.astype(np.int64)) == 1)
        stats = h.stream_stats  # the library's counts, through the binding
        assert stats is not None and stats.packets_received > 0
        assert (stats.missed_packets, stats.filled_samples, stats.undecodable_payloads) == (0, 0, 0)
    assert not calyra.virtual.stats("CY HERON 3").connected  # the with block disconnected


def test_connect_failures_raise_the_mapped_exceptions(virtual):
    open_headset = virtual("CY KESTREL 5;CY OLD 7,fw=3.5.0;CY ODD 8,model=77")
    with pytest.raises(calyra.DeviceNotFound) as e:
        open_headset("CY NOBODY 9")
    assert e.value.code == 11 and "CY NOBODY 9" in str(e.value)
    with pytest.raises(calyra.UnsupportedDevice):
        open_headset("CY OLD 7")
    assert not calyra.virtual.stats("CY OLD 7").connected  # not left half open
    h = open_headset("CY OLD 7", allow_unsupported=True)
    assert h.connected and not h.info.compatible
    with pytest.raises(calyra.UnsupportedDevice):
        open_headset("CY ODD 8")
    with open_headset("CY KESTREL 5") as k:
        with pytest.raises(calyra.UnsupportedSampleRate) as e:
            k.configure(rate=16000)
        assert e.value.code == 3
        with pytest.raises(ValueError):
            k.configure(electrodes=[5])


def test_samples_are_bit_exact_against_the_packet_layout(virtual, tmp_path):
    stream = Stream(packets=40)
    replay = stream.write(tmp_path / "kestrel.hex")
    open_headset = virtual(f"CY KESTREL 5,pace=fast,replay={replay}")
    with open_headset("CY KESTREL 5") as h:
        h.configure(gain=8, accel=True)
        h.start()
        blocks, have = [], 0
        while have < stream.counts.shape[1]:
            blocks.append(h.read(timeout=5))
            have += len(blocks[-1])
        block = calyra.Block.concatenate(blocks)
    assert np.array_equal(block.sample_numbers, stream.sample_numbers)
    assert np.array_equal(block.data, stream.microvolts)  # to the last bit
    assert np.array_equal(block.contact, stream.contact)
    assert np.array_equal(block.accel, stream.accel)
    assert not block.filled.any()


def test_gaps_are_filled_flagged_and_optionally_nan(virtual, tmp_path):
    stream = Stream(packets=12, skip={3, 4, 9})
    replay = stream.write(tmp_path / "gaps.hex")
    open_headset = virtual(f"CY KESTREL 5,pace=fast,replay={replay}")
    for fill_nan in (False, True):
        with open_headset("CY KESTREL 5", fill_nan=fill_nan) as h:
            h.start()
            blocks = []
            while sum(map(len, blocks)) < 12 * 50:
                blocks.append(h.read(timeout=5))
            block = calyra.Block.concatenate(blocks)
        assert np.array_equal(block.sample_numbers, np.arange(600, dtype=np.uint64))
        lost = np.zeros(600, dtype=bool)
        for p in (3, 4, 9):
            lost[p * 50:(p + 1) * 50] = True
        assert np.array_equal(block.filled, lost)
        assert np.array_equal(block.data[:, ~lost], stream.microvolts)
        assert not block.contact[:, lost].any()
        if fill_nan:
            assert np.isnan(block.data[:, lost]).all()
        else:
            assert (block.data[:, lost] == 0).all()


def test_annotations_are_kept_with_their_sample_numbers(virtual):
    # PLOVER sends 10 samples per packet: its 11 timing packets come fast.
    open_headset = virtual("CY PLOVER 4,model=3")
    with open_headset("CY PLOVER 4") as h:
        with pytest.raises(calyra.NotStreaming):
            h.annotate("too early")  # no stream timing yet
        h.start()
        got = 0
        while got < 12 * 10:  # 11 packets fix the stream's timing
            got += len(h.read(timeout=5))
        h.annotate("eyes closed")
        h.annotate("Ω ünïcode")
        notes = h.annotations
        assert [t for _, t in notes] == ["eyes closed", "Ω ünïcode"]
        assert notes[0][0] <= notes[1][0]
        assert notes[0][0] > 0


def test_firmware_update_reports_progress_to_the_last_block(virtual, tmp_path):
    image = tmp_path / "fw.bin"
    image.write_bytes(bytes(range(256)) * 3)  # 768 bytes: 4 blocks of 244
    open_headset = virtual("CY KESTREL 5")
    with open_headset("CY KESTREL 5") as h:
        calls = []
        h.update_firmware(image, progress=lambda sent, total: calls.append((sent, total)))
        assert calls == [(1, 4), (2, 4), (3, 4), (4, 4)]
        stats = calyra.virtual.stats("CY KESTREL 5")
        assert stats.ota_completed and stats.ota_image_bytes == 768
        with pytest.raises(FileNotFoundError):
            h.update_firmware(tmp_path / "missing.bin")


def test_impedance_mode_streams_raw_counts(virtual):
    open_headset = virtual("CY KESTREL 5,pace=fast")
    with open_headset("CY KESTREL 5", on_overrun="warn") as h:
        h.configure(impedance=True)
        h.start()
        block = h.read(200, timeout=5)
        h.stop()
    assert block.unit == "counts"
    # The virtual headset reads about 12000 + 1500 * electrode counts.
    for e, row in enumerate(block.data):
        assert np.all(np.abs(row - (12000 + 1500 * e)) <= 20)
        assert np.array_equal(row, np.round(row))  # not scaled to microvolts
    with pytest.raises(ValueError):
        block.to_mne()


def test_samples_stay_exact_across_ring_wraps_and_overruns(virtual, tmp_path):
    stream = Stream(packets=40)
    replay = stream.write(tmp_path / "kestrel.hex")
    open_headset = virtual(f"CY KESTREL 5,pace=fast,replay={replay}")
    # 0.7 s = 175 samples: chunks of 25 straddle the ring's end, and the
    # whole replay, left unread, overruns the small buffer.
    with open_headset("CY KESTREL 5", buffer_seconds=0.7, on_overrun="warn") as h:
        h.configure(accel=True)
        h.start()
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # peeking reports no overrun
            assert eventually(lambda: list(h.latest(1).sample_numbers) == [1999])
        blocks = []
        with pytest.warns(calyra.BufferOverrunWarning):
            while not blocks or blocks[-1].sample_numbers[-1] < 1999:
                blocks.append(h.read(max_samples=60, timeout=5))
    received = calyra.Block.concatenate(blocks)
    n = received.sample_numbers.astype(np.int64)
    assert received.dropped == 2000 - 175 and len(received) == 175
    assert np.array_equal(n, np.arange(2000 - 175, 2000))
    assert np.array_equal(received.data, stream.microvolts[:, n])
    assert np.array_equal(received.contact, stream.contact[:, n])
    assert np.array_equal(received.accel, stream.accel[:, n])
