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
    assert raw.ch_names == ["E1", "E2", "E3", "E4"]
    assert set(raw.get_channel_types()) == {"eeg"}
    assert raw.n_times == 250
    samples = raw.get_data()
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
    assert np.allclose(back.get_data() * 1e6, block.data, rtol=1e-6, atol=1e-6)
    assert list(back.annotations.description) == ["blink"]
    assert back.annotations.onset[0] == pytest.approx(10 / block.rate)


def test_mne_is_imported_only_when_asked_for():
    code = "import sys, calyra; print('mne' in sys.modules, 'scipy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60, cwd=pathlib.Path(__file__).parents[1])
    assert out.stdout.split() == ["False", "False"], out.stderr
