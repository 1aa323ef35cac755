"""Conversion to MNE-Python; mne is imported only here, when asked for."""

import datetime
import time
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np

from .block import Block

MISSED = "BAD_missed"
COUNTER_JUMP = "BAD_counter_jump"
LINK_LOST = "BAD_link_lost"


def mne_module() -> Any:
    try:
        import mne
    except ImportError as e:  # pragma: no cover - depends on the machine
        raise ImportError("MNE-Python is needed for this (Debian: apt install python3-mne, "
                          "or pip install mne)") from e
    return mne


def _runs(flags: np.ndarray) -> List[Tuple[int, int]]:
    """(start, length) of every run of True."""
    edges = np.diff(np.concatenate((np.zeros(1, np.int8), flags.astype(np.int8),
                                    np.zeros(1, np.int8))))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    return [(int(s), int(e - s)) for s, e in zip(starts, ends)]


def _wall_clock_start(block: Block) -> Optional[datetime.datetime]:
    """The wall-clock time of the block's first sample, from its monotonic
    timestamp (None when unknown)."""
    if block.timestamps is None or not len(block) or not np.isfinite(block.timestamps[0]):
        return None
    # time.time() - time.monotonic() now: the offset between the two clocks.
    offset = time.time() - time.monotonic()
    return datetime.datetime.fromtimestamp(float(block.timestamps[0]) + offset,
                                           tz=datetime.timezone.utc)


def _clock_description(block: Block) -> str:
    """Where the block lies on time.monotonic()'s axis, by the headset's
    clock: the first sample's time and the rate the samples were actually
    taken at (crystals drift apart by up to thousands of ppm, so headsets
    recorded together line up over minutes only with their own rates)."""
    times = block.timestamps
    assert times is not None
    rate = float(block.rate)
    if len(times) > 1 and np.isfinite(times[-1]) and times[-1] > times[0]:
        rate = (len(times) - 1) / float(times[-1] - times[0])
    return (f"first sample at {float(times[0]):.9f} s on time.monotonic(); "
            f"{rate:.6f} samples per second by the headset's clock")


def block_to_raw(block: Block, annotations: Sequence[Tuple[int, str]], misc: bool = True) -> Any:
    mne = mne_module()
    if block.unit != "uV":
        raise ValueError("impedance-mode blocks hold raw counts, not microvolts")
    names = list(block.channel_names)
    types = ["eeg"] * len(names)
    rows = [block.data * 1e-6]  # filler samples may be NaN; MNE takes them as they are
    if misc and block.contact is not None:
        names += [f"{n} contact" for n in block.channel_names]
        types += ["misc"] * len(block.channel_names)
        rows.append(block.contact.astype(np.float64))
    if misc and block.accel is not None:
        names += ["accel_x", "accel_y", "accel_z"]
        types += ["misc"] * 3
        rows.append(block.accel.astype(np.float64))
    info = mne.create_info(ch_names=names, sfreq=float(block.rate), ch_types=types,
                           verbose=False)
    raw = mne.io.RawArray(np.concatenate(rows, axis=0), info, verbose=False)
    measured = _wall_clock_start(block)
    if measured is not None:
        raw.set_meas_date(measured)
        raw.info["description"] = _clock_description(block)
    onsets: List[float] = []
    durations: List[float] = []
    descriptions: List[str] = []

    def add(position: float, length: float, text: str) -> None:
        onsets.append(position / block.rate)
        durations.append(length / block.rate)
        descriptions.append(text)

    if len(block):
        first, last = int(block.sample_numbers[0]), int(block.sample_numbers[-1])
        for sample_number, text in annotations:
            if not first <= sample_number <= last:
                continue  # made before or after these samples
            # The position in the block, not the distance in sample numbers:
            # a counter jump the library does not fill leaves no samples.
            add(int(np.searchsorted(block.sample_numbers, np.uint64(sample_number))), 0, text)
        outage = block.link_lost if block.link_lost is not None else \
            np.zeros(len(block), dtype=bool)
        for start, length in _runs(block.filled & ~outage):
            add(start, length, MISSED)
        for start, length in _runs(outage):
            add(start, length, LINK_LOST)
        for position in block.counter_jumps():
            add(int(position), 0, COUNTER_JUMP)
    if onsets:
        order = np.argsort(onsets, kind="stable")
        raw.set_annotations(mne.Annotations(onset=np.asarray(onsets)[order],
                                            duration=np.asarray(durations)[order],
                                            description=[descriptions[i] for i in order]))
    return raw
