"""Blocks and recordings into MNE-Python."""

import pathlib
import subprocess
import sys

import numpy as np
import pytest

import calyra

mne = pytest.importorskip("mne")  # python3-mne is part of the test set-up


def test_record_gives_a_raw_in_volts_with_annotations(virtual, tmp_path):
    # PLOVER: 10 samples per packet, so the stream timing for annotations
    # is known after 110 samples.
    open_headset = virtual("CY PLOVER 4,model=3")
    with open_headset("CY PLOVER 4") as h:
        h.start()
        first = h.read(max_samples=120, timeout=5)
        while len(first) < 120:
            first = calyra.Block.concatenate([first, h.read(120 - len(first), timeout=5)])
        h.annotate("stimulus")
        raw = calyra.record(h, seconds=1.0)  # continues the running stream
        h.stop()
        [(annotated, _)] = h.annotations
    assert raw.info["sfreq"] == 250.0
    assert raw.ch_names == ["E1", "E2", "E3", "E4"] + [f"E{e} contact" for e in range(1, 5)]
    assert raw.get_channel_types() == ["eeg"] * 4 + ["misc"] * 4
    assert raw.n_times == 250
    samples = raw.get_data(picks="eeg")
    assert 1e-6 < np.abs(samples).max() < 1e-3  # tens of microvolts, in volts
    # The annotation was made once sample 120 had arrived, so it lies in the
    # recorded second, at its sample position.
    block_start = int(first.sample_numbers[-1]) + 1
    assert block_start <= annotated < block_start + 250
    assert list(raw.annotations.description) == ["stimulus"]
    assert raw.annotations.onset[0] == pytest.approx((annotated - block_start) / 250)


def test_block_round_trip_through_a_fif_file(virtual, tmp_path):
    open_headset = virtual("CY KESTREL 5,pace=fast")
    with open_headset("CY KESTREL 5") as h:
        h.start()
        block = h.read(max_samples=500, timeout=5)
        h.stop()
    block.annotations = [(int(block.sample_numbers[10]), "blink"),
                         (int(block.sample_numbers[-1]) + 5, "after the block")]
    raw = block.to_mne()
    path = tmp_path / "round_trip_raw.fif"
    raw.save(path, verbose=False)
    back = mne.io.read_raw_fif(path, preload=True, verbose=False)
    # FIF stores single precision: volts to 1e-7 relative.
    assert np.allclose(back.get_data(picks="eeg") * 1e6, block.data, rtol=1e-6, atol=1e-6)
    assert list(back.annotations.description) == ["blink"]
    assert back.annotations.onset[0] == pytest.approx(10 / block.rate)


def test_mne_is_imported_only_when_asked_for():
    code = "import sys, calyra; print('mne' in sys.modules, 'scipy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60, cwd=pathlib.Path(__file__).parents[1])
    assert out.stdout.split() == ["False", "False"], out.stderr


def test_filler_samples_jumps_contact_and_accel_reach_mne():
    n = 100
    filled = np.zeros(n, dtype=bool)
    filled[20:30] = True
    numbers = np.arange(n, dtype=np.uint64)
    numbers[60:] += 5  # a counter jump nothing filled
    block = calyra.Block(data=np.ones((2, n)), sample_numbers=numbers, rate=250.0,
                         channel_names=["E1", "E2"], filled=filled,
                         contact=np.ones((2, n), dtype=bool),
                         accel=np.full((3, n), 9.8, dtype=np.float32),
                         annotations=[(70, "blink")])
    raw = block.to_mne()
    assert raw.get_channel_types() == ["eeg"] * 2 + ["misc"] * 5
    assert raw.ch_names[2:] == ["E1 contact", "E2 contact", "accel_x", "accel_y", "accel_z"]
    assert np.allclose(raw.get_data(picks=["accel_z"]), 9.8)
    marks = list(zip(raw.annotations.description, raw.annotations.onset * 250,
                     raw.annotations.duration * 250))
    assert [(d, round(o), round(w)) for d, o, w in marks] == [
        ("BAD_missed", 20, 10), ("BAD_counter_jump", 60, 0), ("blink", 65, 0)]
    assert block.to_mne(misc=False).ch_names == ["E1", "E2"]
    text = repr(block)
    assert text == ("<calyra.Block 2 ch x 100 samples, 250 Hz, samples 0..104, 10 filled, "
                    "1 counter jumps, 1 annotations>")


def test_record_keeps_every_sample_received_before_the_link_dropped(virtual):
    # 30 packets of 50 samples, then the link drops.
    open_headset = virtual("CY KESTREL 5,pace=fast,drop_after=30")
    with open_headset("CY KESTREL 5") as h:
        with pytest.raises(calyra.LinkLost) as e:
            calyra.record(h, seconds=60)
    assert np.array_equal(e.value.block.sample_numbers, np.arange(1500, dtype=np.uint64))
    assert e.value.raw.n_times == 1500
