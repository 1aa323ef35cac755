"""The receive side of one headset: a preallocated ring buffer filled by the
library's chunk callback and drained by the reader.

The callback runs on a thread of the BLE layer while holding the GIL, and
every other Python thread waits for it, so it does as little as possible:
one memmove for the pointer table, one or two memmoves per channel into the
preallocated numpy rows, index updates and a wake-up. It allocates no array.
Everything else (copying out, NaN filling, overrun reporting) happens on the
reader's thread.

Positions are absolute sample counts since the stream started (`_written`,
`_read`); ring slot = position % capacity. When the reader falls behind by
more than the capacity, the oldest samples are overwritten and counted in
`_dropped`.
"""

import ctypes
import threading
import time
from typing import Any, List, Tuple

import numpy as np

from . import _capi
from .errors import LinkLost, NotStreaming, StreamStalled, StreamTimeout

_perf_ns = time.perf_counter_ns
_memmove = ctypes.memmove


class Receiver:
    """Ring buffer plus the callbacks that feed it. Holds no reference to
    the Headset, so a Headset is freed as soon as the program drops it."""

    def __init__(self):
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self.capacity = 0
        self._written = 0
        self._read = 0
        self._dropped = 0
        self._active = False  # a stream feeds the buffer
        self._waiting = 0  # readers inside wait(): the callback skips notify without any
        self.link_lost = False
        self.last_chunk_ns = 0
        self.started_ns = 0  # when the buffer was bound to a starting stream
        self.data: np.ndarray = np.zeros((0, 0))
        self.contact: np.ndarray = np.zeros((0, 0), dtype=np.uint8)
        self.accel: np.ndarray = np.zeros((0, 0), dtype=np.float32)
        self.sample_numbers: np.ndarray = np.zeros(0, dtype=np.uint64)
        self.streaming_flag: np.ndarray = np.zeros(0, dtype=np.uint8)
        self._copies: Tuple[Tuple[int, int, int], ...] = ()
        self._pointer_table: Any = None
        self._pointer_bytes = 0
        # The C callbacks live as long as the Receiver, which outlives the
        # manager (see Headset): the library can never call a freed thunk.
        self.chunk_thunk = _capi.CHUNK_CALLBACK(self._on_chunk)
        self.disconnect_thunk = _capi.DISCONNECT_CALLBACK(self._on_disconnect)

    # ---- set-up, on the caller's thread -------------------------------------

    def prepare(self, capacity, n_measurement, with_contact, with_accel):
        """Allocates the ring for a stream. Rows: measurement (float64),
        contact (uint8), accelerometer (float32), sample number (uint64) and
        streaming flag (uint8)."""
        with self._lock:
            # The old rows are about to be freed: no copy may target them.
            self._copies = ()
            self.capacity = capacity
            self.data = np.zeros((n_measurement, capacity), dtype=np.float64)
            self.contact = np.zeros((n_measurement if with_contact else 0, capacity), dtype=np.uint8)
            self.accel = np.zeros((3 if with_accel else 0, capacity), dtype=np.float32)
            self.sample_numbers = np.zeros(capacity, dtype=np.uint64)
            self.streaming_flag = np.zeros(capacity, dtype=np.uint8)
            self._written = self._read = self._dropped = 0
            self.link_lost = False
            self.last_chunk_ns = 0

    def bind(self, positions):
        """Maps chunk positions to ring rows. `positions` lists, per ring row
        in the order measurement, contact, accel, sample number, flag, the
        channel's index in the chunk's pointer table (-1: not streamed, the
        row stays zero)."""
        rows: List[np.ndarray] = []
        for array in (self.data, self.contact, self.accel):
            rows.extend(array[i] for i in range(array.shape[0]))
        rows.append(self.sample_numbers)
        rows.append(self.streaming_flag)
        assert len(rows) == len(positions)
        copies = []
        for row, pos in zip(rows, positions):
            if pos >= 0:
                copies.append((int(pos), row.ctypes.data, row.itemsize))
        n_pointers = max([p for p in positions] + [-1]) + 1
        with self._lock:
            self._pointer_table = (ctypes.c_uint64 * max(n_pointers, 1))()
            self._pointer_address = ctypes.addressof(self._pointer_table)
            self._pointer_bytes = 8 * n_pointers
            self._copies = tuple(copies)
            self._active = True
            self.started_ns = _perf_ns()

    def discard(self):
        """Forgets the buffered samples: a stream that is not the recording's."""
        with self._cond:
            self._read = self._written
            self._dropped = 0

    def end(self):
        """The stream ended (stop or disconnect): wake readers."""
        with self._cond:
            self._active = False
            self._cond.notify_all()

    # ---- library threads ----------------------------------------------------

    def _on_chunk(self, channel_data, count, _user):
        with self._lock:
            copies = self._copies
            if not copies or not count:
                return
            table = self._pointer_table
            _memmove(self._pointer_address, channel_data, self._pointer_bytes)
            cap = self.capacity
            w = self._written
            end = w + count
            skip = 0
            if count > cap:  # only the newest `cap` samples fit
                skip = count - cap
            oldest_kept = end - cap
            if self._read < oldest_kept:
                self._dropped += oldest_kept - self._read
                self._read = oldest_kept
            start = w + skip
            n = end - start
            slot = start % cap
            first = min(n, cap - slot)
            second = n - first
            for pos, base, size in copies:
                src = table[pos]
                if not src:  # the library hands no array for it: nothing to copy
                    continue
                src += skip * size
                _memmove(base + slot * size, src, first * size)
                if second:
                    _memmove(base, src + first * size, second * size)
            self._written = end
            self.last_chunk_ns = _perf_ns()
            if self._waiting:
                self._cond.notify()

    def _on_disconnect(self, _user):
        with self._cond:
            self.link_lost = True
            self._cond.notify_all()

    # ---- reader ---------------------------------------------------------------

    def available(self):
        with self._lock:
            return self._written - self._read

    def take(self, max_samples, timeout, min_samples, consume, raise_dropped=False,
             stall_timeout=None):
        """Waits for data and copies it out. Returns (arrays, dropped) with
        arrays = (data, contact, accel, numbers, flag) and dropped the samples
        overwritten since the last consuming take. With raise_dropped, a
        non-zero count returns (None, dropped) and leaves the data buffered.
        A running stream that has delivered nothing for stall_timeout seconds
        (since its last chunk, or its start) raises StreamStalled."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while True:
                avail = self._written - self._read
                if avail >= min_samples:
                    break
                if self.link_lost:
                    if avail:
                        break
                    raise LinkLost("the link to the headset was lost; reconnect to continue")
                if not self._active:
                    if avail:
                        break
                    raise NotStreaming("no stream is running and no samples are buffered")
                remaining = None
                if deadline is not None:
                    remaining = deadline - time.monotonic()
                    if remaining <= 0:
                        if avail:
                            break
                        raise StreamTimeout(f"no sample arrived within {timeout} s")
                if stall_timeout is not None:
                    quiet = (_perf_ns() - max(self.last_chunk_ns, self.started_ns)) * 1e-9
                    if quiet >= stall_timeout:
                        if avail:
                            break
                        stalled = StreamStalled(f"no sample for {quiet:.1f} s")
                        stalled.seconds = quiet
                        raise stalled
                    left = stall_timeout - quiet
                    remaining = left if remaining is None else min(remaining, left)
                self._waiting += 1
                try:
                    self._cond.wait(remaining)
                finally:
                    self._waiting -= 1
            # Only a consuming read reports (and clears) the drop count.
            dropped = self._dropped if consume else 0
            if consume:
                self._dropped = 0
                if dropped and raise_dropped:
                    return None, dropped
            n = avail if max_samples is None else min(avail, max_samples)
            start = self._read if consume else self._written - n
            arrays = self._copy_out(start, n)
            if consume:
                self._read += n
            return arrays, dropped

    def _copy_out(self, start, n):
        cap = self.capacity
        slot = start % cap if cap else 0
        first = min(n, cap - slot)
        out: List[np.ndarray] = []
        for ring in (self.data, self.contact, self.accel, self.sample_numbers,
                     self.streaming_flag):
            block = np.empty(ring.shape[:-1] + (n,), dtype=ring.dtype)
            block[..., :first] = ring[..., slot:slot + first]
            if n > first:
                block[..., first:] = ring[..., :n - first]
            out.append(block)
        return tuple(out)
