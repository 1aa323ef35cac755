"""Conversion to MNE-Python; mne is imported only here, when asked for."""

import numpy as np

from .block import Block


def _mne():
    try:
        import mne
    except ImportError as e:  # pragma: no cover - depends on the machine
        raise ImportError("MNE-Python is needed for this (Debian: apt install python3-mne, "
                          "or pip install mne)") from e
    return mne


def block_to_raw(block, annotations):
    mne = _mne()
    if block.unit != "uV":
        raise ValueError("impedance-mode blocks hold raw counts, not microvolts")
    info = mne.create_info(ch_names=list(block.channel_names), sfreq=float(block.rate),
                           ch_types="eeg", verbose=False)
    # Filler samples may be NaN; MNE takes them as they are.
    raw = mne.io.RawArray(block.data * 1e-6, info, verbose=False)
    if annotations and len(block):
        first, last = block.first_sample, int(block.sample_numbers[-1])
        onsets, descriptions = [], []
        for sample_number, text in annotations:
            if not first <= sample_number <= last:
                continue  # made before or after these samples
            # The position in the block, not the distance in sample numbers:
            # a counter jump the library does not fill leaves no samples.
            position = np.searchsorted(block.sample_numbers, np.uint64(sample_number))
            onsets.append(position / block.rate)
            descriptions.append(text)
        if onsets:
            raw.set_annotations(mne.Annotations(onset=np.asarray(onsets, dtype=float),
                                                duration=np.zeros(len(onsets)),
                                                description=descriptions))
    return raw


def record(headset, seconds, timeout=5.0):
    """Records `seconds` of the headset's stream into an mne.io.RawArray.

    Starts the stream when it is not running (and stops it again at the
    end); otherwise reads on from the running stream. The annotations that
    fall into the recording come along at their sample positions. A stream
    that delivers nothing for `timeout` seconds raises StreamTimeout.
    """
    _mne()  # fail before streaming when MNE is missing
    started = not headset.streaming
    if started:
        headset.start()
    try:
        wanted = int(round(seconds * headset.rate))
        blocks, have = [], 0
        while have < wanted:
            block = headset.read(max_samples=wanted - have, timeout=timeout)
            blocks.append(block)
            have += len(block)
    finally:
        if started:
            headset.stop()
    block = Block.concatenate(blocks)
    return block.to_mne(headset.annotations)
