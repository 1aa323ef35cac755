"""Block: consecutive samples of one headset as numpy arrays."""

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Sequence, Tuple

import numpy as np

if TYPE_CHECKING:  # pragma: no cover - for type checkers only
    import mne


@dataclass(repr=False)
class Block:
    """Samples of one stream, oldest first.

    data            channels x samples, float64: microvolts (raw counts in
                    impedance mode, see `unit`)
    sample_numbers  uint64 per sample, the headset's sample counter
    contact         channels x samples, bool: the electrode's contact bit
                    (None when contact channels were not streamed)
    accel           3 x samples float32, m/s^2 (x, y, z), or None
    filled          bool per sample: True where the library inserted a
                    filler sample for a lost packet (values 0, or NaN when the
                    headset was set to fill_nan)
    rate            samples per second
    channel_names   one name per row of data ("E1", "E2", ...)
    annotations     (sample_number, text) pairs made while this block's
                    samples were recorded
    dropped         samples lost to a buffer overrun just before this block
                    (only non-zero when overruns warn instead of raising)
    link_lost       bool per sample: True for the filler samples standing
                    for a link outage (Headset(reconnect=True)); None for a
                    block not read from a headset
    timestamps      float64 per sample: when it was acquired, in seconds on
                    time.monotonic()'s clock, by the library's drift-tracking
                    stream clock at the time of the read (NaN before that
                    clock is known, about the first second of a stream; None
                    for a block not read from a headset)
    """

    data: np.ndarray
    sample_numbers: np.ndarray
    rate: float
    channel_names: List[str]
    filled: np.ndarray
    contact: Optional[np.ndarray] = None
    accel: Optional[np.ndarray] = None
    annotations: List[Tuple[int, str]] = field(default_factory=list)
    dropped: int = 0
    unit: str = "uV"
    timestamps: Optional[np.ndarray] = None
    link_lost: Optional[np.ndarray] = None

    def __len__(self) -> int:
        return int(self.data.shape[1])

    def __repr__(self) -> str:
        parts = [f"{self.data.shape[0]} ch x {len(self)} samples", f"{self.rate:g} Hz"]
        if len(self):
            parts.append(f"samples {self.first_sample}..{int(self.sample_numbers[-1])}")
        filled = int(np.count_nonzero(self.filled))
        if filled:
            parts.append(f"{filled} filled")
        jumps = len(self.counter_jumps())
        if jumps:
            parts.append(f"{jumps} counter jumps")
        if self.dropped:
            parts.append(f"{self.dropped} dropped")
        if self.annotations:
            parts.append(f"{len(self.annotations)} annotations")
        if self.unit != "uV":
            parts.append(self.unit)
        return "<calyra.Block " + ", ".join(parts) + ">"

    @property
    def first_sample(self) -> Optional[int]:
        """Sample number of the first sample (None for an empty block)."""
        return int(self.sample_numbers[0]) if len(self.sample_numbers) else None

    @property
    def duration(self) -> float:
        """Seconds the block covers."""
        return len(self) / self.rate

    def counter_jumps(self) -> np.ndarray:
        """Positions whose sample number does not follow the previous one
        (a packet the library did not fill in, a late or repeated packet, a
        counter wrap, or samples dropped by a buffer overrun)."""
        steps = np.diff(self.sample_numbers.astype(np.int64))
        return np.flatnonzero(steps != 1) + 1

    @classmethod
    def concatenate(cls, blocks: Iterable["Block"]) -> "Block":
        """One block from consecutive blocks of the same stream."""
        given = list(blocks)
        chosen = [b for b in given if len(b)] or given[:1]
        if not chosen:
            raise ValueError("no block to concatenate")
        head = chosen[0]

        def cat(name: str) -> Any:
            parts = [getattr(b, name) for b in chosen]
            return None if any(p is None for p in parts) else np.concatenate(parts, axis=-1)

        return cls(data=cat("data"), sample_numbers=cat("sample_numbers"), rate=head.rate,
                   channel_names=list(head.channel_names), filled=cat("filled"),
                   contact=cat("contact"), accel=cat("accel"),
                   annotations=[a for b in chosen for a in b.annotations],
                   dropped=sum(b.dropped for b in chosen), unit=head.unit,
                   timestamps=cat("timestamps"), link_lost=cat("link_lost"))

    def to_mne(self, annotations: Optional[Sequence[Tuple[int, str]]] = None, *,
               misc: bool = True) -> "mne.io.RawArray":
        """The block as an mne.io.RawArray: EEG channels in volts, the
        sampling rate, the measurement date (the wall-clock time of the first
        sample, from `timestamps` when known), and annotations at their
        sample positions: the given
        (sample_number, text) pairs (this block's by default), `BAD_missed`
        over filler samples for lost packets, `BAD_link_lost` over those
        of a link outage, and `BAD_counter_jump` where the sample numbers
        jump. misc: the contact flags ("E1 contact", 0/1) and accelerometer
        ("accel_x", m/s^2) come along as misc channels when streamed. Needs
        MNE-Python (imported here, optional for the rest of the package)."""
        from ._mne import block_to_raw
        return block_to_raw(self, self.annotations if annotations is None else annotations, misc)
