"""What a stream carries: the validated settings, the channel layout they
give, and how they are handed to the manager."""

import functools
from dataclasses import dataclass
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from .errors import check

# Channel ids of the C API.
SAMPLE_NUMBER = 0x0000
MEASUREMENT = 0x0001
CONTACT = 0x0401
ACCEL = (0x0A01, 0x0A02, 0x0A03)
STREAMING = 0x0A41

RATE_CODES = {16000: 0, 8000: 1, 4000: 2, 2000: 3, 1000: 4, 500: 5, 250: 6}
RATE_HZ = {code: hz for hz, code in RATE_CODES.items()}
GAIN_MODES = {1: 0, 2: 1, 4: 2, 6: 3, 8: 4, 12: 5}



class Channel(NamedTuple):
    """A streamed channel: its C API id, its name, the channel type MNE-Python
    gives it ("eeg" for electrodes, "misc" for the rest and for electrodes in
    impedance mode, which read raw counts), and the numpy dtype of its values."""

    id: int
    name: str
    type: str
    dtype: str


@dataclass(frozen=True)
class Settings:
    electrodes: Tuple[int, ...]  # 1-based, ascending
    gains: Tuple[int, ...]       # multiplier per electrode
    impedance: int
    accel: bool
    contact: bool
    bias: Tuple[int, ...]

    @classmethod
    def make(cls, info: Any, electrodes: Optional[Sequence[int]] = None,
             gain: Union[int, Sequence[int]] = 8, impedance: Union[bool, int] = False,
             accel: bool = False, contact: bool = True, bias: Sequence[int] = ()) -> "Settings":
        """Validated settings for the headset described by `info`; raises
        ValueError for anything the headset cannot stream."""
        count = info.electrode_count
        given = list(range(1, count + 1)) if electrodes is None else [int(e) for e in electrodes]
        gain_of: dict
        if isinstance(gain, (int, float, np.number)):
            gain_of = {e: gain for e in given}
        else:
            gains_given = list(gain)
            if len(gains_given) != len(given):
                raise ValueError("give one gain, or one per electrode")
            gain_of = dict(zip(given, gains_given))
        chosen = tuple(sorted(gain_of))
        gains = tuple(gain_of[e] for e in chosen)
        if not chosen or chosen[0] < 1 or chosen[-1] > count:
            raise ValueError(f"electrodes must be a non-empty subset of 1..{count}")
        if any(g not in GAIN_MODES for g in gains):
            raise ValueError("gain must be one of 1, 2, 4, 6, 8, 12")
        if accel and not info.capabilities.accelerometer:
            raise ValueError(f"{info.model} has no accelerometer")
        biased = tuple(sorted(set(int(e) for e in bias)))
        if biased and (biased[0] < 1 or biased[-1] > count):
            raise ValueError(f"bias electrodes must lie within 1..{count}")
        return cls(chosen, gains, int(impedance), bool(accel), bool(contact), biased)

    @functools.cached_property
    def channel_names(self) -> List[str]:
        return [f"E{e}" for e in self.electrodes]

    def layout(self) -> List[Channel]:
        """The streamed channels in chunk order: ascending id."""
        electrode = "misc" if self.impedance else "eeg"
        out = [Channel(SAMPLE_NUMBER, "sample_number", "misc", "uint64")]
        out += [Channel(MEASUREMENT + e - 1, f"E{e}", electrode, "float64")
                for e in self.electrodes]
        if self.contact:
            out += [Channel(CONTACT + e - 1, f"E{e} contact", "misc", "uint8")
                    for e in self.electrodes]
        if self.accel:
            out += [Channel(cid, f"accel_{axis}", "misc", "float32")
                    for cid, axis in zip(ACCEL, "xyz")]
        out.append(Channel(STREAMING, "streaming", "misc", "uint8"))
        return out

    def ring_positions(self) -> List[int]:
        """Chunk position of every ring-buffer row, in the Receiver's row
        order: measurements, contacts, accelerometer, sample number, flag."""
        position = {c.id: i for i, c in enumerate(self.layout())}
        rows = [position[MEASUREMENT + e - 1] for e in self.electrodes]
        if self.contact:
            rows += [position[CONTACT + e - 1] for e in self.electrodes]
        if self.accel:
            rows += [position[a] for a in ACCEL]
        return rows + [position[SAMPLE_NUMBER], position[STREAMING]]

    def apply(self, cy: Any, manager: int, electrode_count: int, rate: int) -> None:
        """Hands the settings to the manager (not yet to the headset)."""
        wanted = {c.id for c in self.layout()}
        # The manager keeps channels enabled by earlier settings until a stop
        # or connect resets them; switch off everything not wanted now.
        candidates = [SAMPLE_NUMBER, STREAMING, *ACCEL]
        candidates += [MEASUREMENT + i for i in range(electrode_count)]
        candidates += [CONTACT + i for i in range(electrode_count)]
        for cid in candidates:
            cy.cy_eeg_manager_set_channel_enabled(manager, cid, cid in wanted)
        for e, g in zip(self.electrodes, self.gains):
            cy.cy_eeg_manager_set_channel_gain(manager, MEASUREMENT + e - 1, GAIN_MODES[g])
        for e in self.bias:
            cy.cy_eeg_manager_set_channel_bias(manager, MEASUREMENT + e - 1)
        cy.cy_eeg_manager_set_impedance_mode(manager, self.impedance)
        check(cy.cy_eeg_manager_set_data_stream_rate(manager, RATE_CODES[rate]), f"{rate} Hz")
