"""calyra.record(): a stretch of a headset's stream as an mne.io.RawArray.

Kept apart from the MNE conversion (_mne), which knows blocks only: this
module is the one that knows both the Headset and the conversion.
"""

from typing import Any, List, Optional, Sequence, Union

import numpy as np

from ._mne import mne_module
from .block import Block
from .errors import CalyraError
from .headset import Headset


def record(headset: Union[Headset, Sequence[Headset]], seconds: float,
           timeout: Optional[float] = None, *, misc: bool = True) -> Any:
    """Records `seconds` of the headset's stream into an mne.io.RawArray.

    Given several headsets (a list), records them together and returns one
    RawArray per headset, in the same order: the streams that do not run
    yet are started back to back, and each Raw's meas_date is its first
    sample's time by that headset's own stream clock, so that the Raws line
    up on one time axis (see the README on several headsets). When one of
    them ends early, the exception carries `e.raws` (one per headset, None
    where nothing had arrived) and `e.headset`, the one that failed.

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
    if not isinstance(headset, Headset):
        return _record_several(list(headset), seconds, timeout, misc)
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


def _record_several(headsets: List[Headset], seconds: float, timeout: Optional[float],
                    misc: bool) -> List[Any]:
    """record() for several headsets: read in turn from each until every
    one has its samples (each buffers meanwhile)."""
    mne_module()
    started = [h for h in headsets if not h.streaming]
    blocks: List[List[Block]] = [[] for _ in headsets]
    wanted = [int(round(seconds * h.rate)) for h in headsets]
    have = [0] * len(headsets)
    current: Optional[Headset] = None
    try:
        for h in started:
            h.start()
        while any(n < w for n, w in zip(have, wanted)):
            for i, h in enumerate(headsets):
                if have[i] < wanted[i]:
                    current = h
                    block = h.read(max_samples=wanted[i] - have[i], timeout=timeout)
                    blocks[i].append(block)
                    have[i] += len(block)
    except CalyraError as e:
        e.headset = current
        e.raws = [_recorded(h, b).to_mne(h.annotations, misc=misc) if b else None
                  for h, b in zip(headsets, blocks)]
        raise
    finally:
        for h in started:
            h.stop()
    return [_recorded(h, b).to_mne(h.annotations, misc=misc) for h, b in zip(headsets, blocks)]
