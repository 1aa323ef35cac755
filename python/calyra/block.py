"""Block: consecutive samples of one headset as numpy arrays."""

from dataclasses import dataclass, field

import numpy as np


@dataclass
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
    """

    data: np.ndarray
    sample_numbers: np.ndarray
    rate: float
    channel_names: list
    filled: np.ndarray
    contact: np.ndarray = None
    accel: np.ndarray = None
    annotations: list = field(default_factory=list)
    dropped: int = 0
    unit: str = "uV"

    def __len__(self):
        return self.data.shape[1]

    @property
    def first_sample(self):
        """Sample number of the first sample (None for an empty block)."""
        return int(self.sample_numbers[0]) if len(self.sample_numbers) else None

    @property
    def duration(self):
        """Seconds the block covers."""
        return len(self) / self.rate

    @classmethod
    def concatenate(cls, blocks):
        """One block from consecutive blocks of the same stream."""
        blocks = [b for b in blocks if len(b)] or list(blocks)[:1]
        if not blocks:
            raise ValueError("no block to concatenate")
        head = blocks[0]

        def cat(name, axis=-1):
            parts = [getattr(b, name) for b in blocks]
            return None if parts[0] is None else np.concatenate(parts, axis=axis)

        return cls(data=cat("data"), sample_numbers=cat("sample_numbers"), rate=head.rate,
                   channel_names=list(head.channel_names), filled=cat("filled"),
                   contact=cat("contact"), accel=cat("accel"),
                   annotations=[a for b in blocks for a in b.annotations],
                   dropped=sum(b.dropped for b in blocks), unit=head.unit)

    def to_mne(self, annotations=None):
        """The block as an mne.io.RawArray: EEG channels in volts, the
        sampling rate, and the annotations (this block's by default) at their
        sample positions. Needs MNE-Python (imported here, optional for the
        rest of the package)."""
        from ._mne import block_to_raw
        return block_to_raw(self, self.annotations if annotations is None else annotations)
