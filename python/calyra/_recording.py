"""calyra.record(): a stretch of a headset's stream as an mne.io.RawArray.

Kept apart from the MNE conversion (_mne), which knows blocks only: this
module is the one that knows both the Headset and the conversion.
"""

from typing import Any, List, Optional

import numpy as np

from ._mne import mne_module
from .block import Block
from .errors import CalyraError
from .headset import Headset


def record(headset: Headset, seconds: float, timeout: Optional[float] = None, *,
           misc: bool = True) -> Any:
    """Records `seconds` of the headset's stream into an mne.io.RawArray.

    Starts the stream when it is not running (and stops it again at the
    end); otherwise reads on from the running stream. The annotations that
    fall into the recording come along at their sample positions. Each
    wait is bounded by `timeout` (None: as long as the stream delivers, up
    to the headset's stall_timeout). misc: as for Block.to_mne.

    With Headset(reconnect=True) a link loss does not end it: the Raw goes
    on across the outage, whose filler samples are marked BAD_link_lost.

    When the recording ends early (LinkLost, StreamStalled, StreamTimeout,
    ...), the exception raised carries every sample received until then:
    `e.raw` (an mne.io.RawArray) and `e.block` (a Block), None when nothing
    had arrived.
    """
    mne_module()  # fail before streaming when MNE is missing
    started = not headset.streaming
    if started:
        headset.start()
    blocks: List[Block] = []
    try:
        wanted = int(round(seconds * headset.rate))
        have = 0
        while have < wanted:
            block = headset.read(max_samples=wanted - have, timeout=timeout)
            blocks.append(block)
            have += len(block)
    except CalyraError as e:
        if blocks:
            e.block = _recorded(headset, blocks)
            e.raw = e.block.to_mne(headset.annotations, misc=misc)
        raise
    finally:
        if started:
            headset.stop()
    return _recorded(headset, blocks).to_mne(headset.annotations, misc=misc)


def _recorded(headset: Headset, blocks: List[Block]) -> Block:
    """The blocks as one, timed by the stream clock as it stands at the end
    (it refines while the stream runs)."""
    block = Block.concatenate(blocks)
    # Samples of streams before a link loss keep the times they were read
    # with: the clock of the running stream knows only its own.
    fresh = headset.time_of(block.sample_numbers)
    if block.timestamps is not None:
        fresh = np.where(np.isfinite(fresh), fresh, block.timestamps)
    block.timestamps = fresh
    return block
