"""Headset: one connected headset, its settings, its stream and its buffer."""

import ctypes
import itertools
import math
import os
import threading
import time
import warnings
import weakref
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import _capi, _library, _reaper
from ._receiver import Receiver
from ._settings import RATE_CODES, RATE_HZ, Channel, Settings
from .block import Block
from .device import Battery, DeviceInfo, read_device_info
from .errors import (BufferOverrun, BufferOverrunWarning, CalyraError, ConnectionError,
                     DeviceNotFound, LinkLost, NotStreaming, PreconditionFailed, StreamStalled,
                     UnsupportedDevice, check, error_for, library_text)

_keys = itertools.count(1)


class Outage(NamedTuple):
    """A link loss that read() went on across: the first filled sample's
    number, the host time between the last sample before and the first
    after (seconds), the samples filled and the connection attempts."""
    first_sample: int
    seconds: float
    filled: int
    attempts: int


class StreamStats(NamedTuple):
    """What the library counted on the present (or last) stream: stream
    notifications received, gaps in the packet counter, filler samples
    inserted for them, and notifications dropped because their length fits
    no packet. Filler samples are also flagged per sample in Block.filled."""

    packets_received: int
    missed_packets: int
    filled_samples: int
    undecodable_payloads: int


def _release(handle: int, receiver: Receiver, key: int) -> None:
    """Finaliser of a Headset. The garbage collector may run it on a library
    thread, inside a callback of this very manager, where freeing would wait
    for that callback forever: there the release is handed to the package's
    release thread."""
    if _reaper.on_foreign_thread():
        _reaper.submit(lambda: _release_now(handle, receiver, key))
    else:
        _release_now(handle, receiver, key)


def _release_now(handle: int, receiver: Receiver, key: int) -> None:
    """Frees the manager (which waits for callbacks in progress and
    guarantees none afterwards), and only then lets the callbacks' thunks go,
    which this function's arguments keep alive. The headset's name is free
    for another Headset once its link is down."""
    _capi.cycore().cy_eeg_manager_free(handle)
    receiver.end()
    _library.unregister_headset(key)


class Headset:
    """A headset found by its advertised name (any case) or its address.

    with calyra.Headset("CY KESTREL 5") as h:   # connects; disconnects at the end
        h.start()
        block = h.read(250)

    buffer_seconds: capacity of the receive buffer at the configured rate.
    on_overrun: "raise" (read raises BufferOverrun) or "warn" (read warns
      with BufferOverrunWarning and returns the data, Block.dropped counting
      the loss).
    fill_nan: filler samples (inserted by the library for lost packets) read
      as NaN instead of 0.
    allow_unsupported: stay connected to a headset whose revision the library
      does not support (info.compatible is then False) instead of raising
      UnsupportedDevice.
    stall_timeout: seconds a running stream may deliver no sample before
      read() and stream() raise StreamStalled (None: wait for ever).
    connect: False leaves connecting to connect().
    reconnect: when the link drops during a stream, read() and stream() get
      the headset back (connect, the same configuration, start; with backoff)
      and go on: the samples continue on the same sample numbers and
      timestamps, the outage comes as a Block of filler samples (filled and
      link_lost True) as long as the host time between the last sample
      before and the first after, and outages lists each one. False: read()
      raises LinkLost.
    reconnect_timeout: seconds to try for (None: for ever); then read()
      raises LinkLost.

    One headset can be open in one Headset of a process at a time: a second
    Headset on it raises PreconditionFailed (both would share its one stream).

    Threads: any method may be called from any thread; read(), latest() and
    stream() are meant for one reader at a time (two readers would split the
    samples between them).
    """

    def __init__(self, name: str, *, buffer_seconds: float = 60.0, on_overrun: str = "raise",
                 fill_nan: bool = False, allow_unsupported: bool = False,
                 stall_timeout: Optional[float] = 5.0, connect: bool = True,
                 reconnect: bool = False, reconnect_timeout: Optional[float] = None) -> None:
        if not isinstance(name, str):
            raise TypeError(f"the headset name must be a str (its advertised name or address), "
                            f"not {type(name).__name__}")
        if on_overrun not in ("raise", "warn"):
            raise ValueError('on_overrun must be "raise" or "warn"')
        if not buffer_seconds > 0:
            raise ValueError("buffer_seconds must be positive")
        if stall_timeout is not None and not stall_timeout > 0:
            raise ValueError("stall_timeout must be positive (or None)")
        self.name = name
        self.buffer_seconds = float(buffer_seconds)
        self.on_overrun = on_overrun
        self.fill_nan = bool(fill_nan)
        self.allow_unsupported = allow_unsupported
        self.stall_timeout = None if stall_timeout is None else float(stall_timeout)
        self._lock = threading.RLock()
        self._info: Optional[DeviceInfo] = None
        self._settings: Optional[Settings] = None
        self._streaming = False
        self._rate = 250
        self._annotations: Optional[List[Tuple[int, str]]] = None  # copy of the manager's list
        self._resuming = False
        # A reader is bringing the link back; close(), stop() or disconnect()
        # from another thread then asks it to give up.
        self._reconnecting = False
        self._stop_requested = False
        self._gap: Optional[Block] = None  # filler samples of an outage not yet read
        self.reconnect = bool(reconnect)
        self.reconnect_timeout = None if reconnect_timeout is None else float(reconnect_timeout)
        # Across link losses: the running stream's sample 0 on the first
        # stream's sample axis, the last sample read (raw), the annotations of
        # earlier connections (on that axis) and the outages.
        self._offset = 0
        self._last_raw = -1
        self._earlier_annotations: List[Tuple[int, str]] = []
        self.outages: List[Outage] = []

        cy = _library.lib()
        # The stream clock's answers, reused on every read.
        self._time_of_sample = (cy.cy_eeg_manager_time_of_sample
                                if _capi.has("cy_eeg_manager_time_of_sample") else None)
        self._published_times = (cy.cy_eeg_manager_published_times
                                 if _capi.has("cy_eeg_manager_published_times") else None)
        self._t0, self._t1 = ctypes.c_int64(), ctypes.c_int64()
        self._t0_ref, self._t1_ref = ctypes.byref(self._t0), ctypes.byref(self._t1)
        handle = cy.cy_eeg_manager_new()
        if not handle:
            raise MemoryError("cy_eeg_manager_new")
        self._handle = handle
        self._receiver = Receiver()
        # Not id(self): a released Headset's id may be reused before the
        # release thread has unregistered it.
        self._key = key = next(_keys)
        self._finalizer = weakref.finalize(self, _release, handle, self._receiver, key)
        _library.register_headset(key, self._finalizer)
        cy.cy_eeg_manager_set_callback_chunk(handle, self._receiver.chunk_thunk, None)
        cy.cy_eeg_manager_set_callback_disconnect(handle, self._receiver.disconnect_thunk, None)
        if connect:
            self.connect()

    # ---- life -------------------------------------------------------------------

    def __enter__(self) -> "Headset":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        if not self._finalizer.alive:
            state = "closed"
        elif self._info is None:
            state = "not connected"
        elif self._receiver.link_lost:
            state = "link lost"
        else:
            state = "streaming" if self._streaming else "connected"
        return f"<calyra.Headset {self.name!r} {state}>"

    @property
    def closed(self) -> bool:
        """True once close() ran (or the Headset was collected)."""
        return not self._finalizer.alive

    def _m(self) -> int:
        if not self._finalizer.alive:
            raise self._closed_error()
        return self._handle

    def _closed_error(self) -> CalyraError:
        return CalyraError(f"headset {self.name!r} is closed: open a new calyra.Headset to use "
                           "it again")

    def close(self) -> None:
        """Disconnects and releases the headset. Samples already received
        stay readable; everything else raises afterwards."""
        with self._lock:
            self._streaming = False
            self._info = None
            self._finalizer()

    def connect(self) -> None:
        """Connects (blocks while the library searches, up to about 5 s),
        reads the identity and sets the default configuration: every
        electrode at gain 8, 250 Hz, contact flags on.

        A name not advertised exactly is looked up by a scan (another 5 s
        over Bluetooth): a name in another case, or the headset's address,
        finds it; DeviceNotFound suggests the nearest name seen."""
        with self._lock:
            cy = _library.lib()
            m = self._m()
            # Connecting ends whatever the manager held before (a stream, a
            # lost link): the library disconnects it first.
            self._streaming = False
            self._annotations = None
            self._info = None  # also when this connect fails
            self._receiver.end()
            _library.release_names(self._key)
            _library.claim_name(self.name, self._key)
            try:
                code, detail = self._connect_by_name(cy, m)
            except BaseException:
                _library.release_names(self._key)
                raise
            compatible = code == 0
            if code == UnsupportedDevice.code and self.allow_unsupported and \
                    cy.cy_eeg_manager_is_connected(m):
                code = 0
            if code != 0:
                if cy.cy_eeg_manager_is_connected(m):
                    cy.cy_eeg_manager_disconnect(m)
                _library.release_names(self._key)
                raise error_for(code, f"connect to {self.name!r}", detail)
            self._receiver.link_lost = False
            self._info = read_device_info(cy, m, self.name, compatible)
            self._rate = RATE_HZ.get(cy.cy_eeg_manager_get_sample_frequency(m), 250)
            previous, self._settings = self._settings, None
            if previous is not None:
                # A reconnect (after link loss, say) keeps the configuration
                # when it still fits the headset.
                try:
                    self.configure(previous.electrodes, previous.gains, None,
                                   previous.impedance, previous.accel, previous.contact,
                                   previous.bias)
                except (ValueError, CalyraError):
                    previous = None
            if previous is None:
                self.configure()

    def _connect_by_name(self, cy: Any, m: int) -> Tuple[int, str]:
        """Connects to self.name; when no headset advertises exactly that,
        to the one the library's lookup matches in a scan (any case, or the
        address), renaming self. Returns the result code and the library's
        sentence for a failure."""
        code = int(cy.cy_eeg_manager_connect(m, self.name.encode(), _capi.NO_CONNECT_CALLBACK,
                                             None))
        detail = library_text() if code != 0 else ""
        if code != DeviceNotFound.code:
            return code, detail
        match, nearest, why = _library.find_headset(self.name)
        if match is None:
            hint = f' (did you mean "{nearest}"?)' if nearest else ""
            raise DeviceNotFound(f"connect to {self.name!r}: no headset with this name or "
                                 f"address{hint}: {why or detail}")
        if match == self.name:
            return code, detail  # it was advertised, yet not found: keep the library's answer
        _library.claim_name(match, self._key)
        self.name = match
        code = int(cy.cy_eeg_manager_connect(m, match.encode(), _capi.NO_CONNECT_CALLBACK, None))
        return code, library_text() if code != 0 else ""

    def disconnect(self) -> None:
        """Ends the link (a running stream ends; its last samples stay
        readable). connect() connects again."""
        with self._lock:
            self._stop_requested = self._reconnecting
            if self._info is None or not self._finalizer.alive:
                return
            _library.lib().cy_eeg_manager_disconnect(self._m())
            _library.release_names(self._key)
            self._streaming = False
            self._info = None
            self._annotations = None
            self._receiver.end()

    @property
    def connected(self) -> bool:
        """True while connected and the link is up."""
        with self._lock:
            return (self._info is not None and self._finalizer.alive
                    and bool(_library.lib().cy_eeg_manager_is_connected(self._handle)))

    def _require_connection(self) -> DeviceInfo:
        if not self._finalizer.alive:
            raise self._closed_error()
        if self._info is None:
            raise ConnectionError(f"headset {self.name!r} is not connected: call connect()")
        if self._receiver.link_lost:
            raise LinkLost(f"the link to {self.name!r} was lost; reconnect to continue")
        return self._info

    # ---- identity and state -------------------------------------------------------

    @property
    def info(self) -> DeviceInfo:
        """DeviceInfo of the connected headset."""
        return self._require_connection()

    @property
    def battery(self) -> Battery:
        """Battery(level, charger_connected, charging) as last reported."""
        with self._lock:
            self._require_connection()
            b = _library.lib().cy_eeg_manager_get_battery_info(self._m())
            return Battery(b.level, bool(b.is_charger_connected), bool(b.is_charging))

    @property
    def rate(self) -> int:
        """Samples per second of the configured stream."""
        return self._rate

    @property
    def streaming(self) -> bool:
        """True from start() until stop(), disconnect or link loss."""
        return self._streaming and not self._receiver.link_lost

    @property
    def channel_names(self) -> List[str]:
        """Names of the measurement channels, one per row of Block.data."""
        return self._settings.channel_names if self._settings else []

    @property
    def channels(self) -> List[Channel]:
        """The channels a stream with the present configuration carries, in
        stream order (ascending id), as Channel(id, name, type, dtype)."""
        self._require_connection()
        assert self._settings is not None
        return self._settings.layout()

    @property
    def stream_stats(self) -> Optional[StreamStats]:
        """The library's counts for the stream (see StreamStats); None when
        the loaded library cannot tell or the Headset is closed."""
        with self._lock:
            if not self._finalizer.alive or not _capi.has("cy_eeg_manager_get_stream_stats"):
                return None
            out = _capi.StreamStats()
            if _library.lib().cy_eeg_manager_get_stream_stats(self._handle, ctypes.byref(out)):
                return None
            return StreamStats(out.packets_received, out.missed_packets, out.filled_samples,
                               out.undecodable_payloads)

    # ---- time ---------------------------------------------------------------------

    def time_of(self, sample_numbers: Any) -> np.ndarray:
        """The host time at which each of `sample_numbers` was acquired, in
        seconds on time.monotonic()'s clock, by the library's drift-tracking
        stream clock as it stands now (it refines while the stream runs and
        holds after a stop until the next start). NaN while no clock is
        known: about the first second of each stream."""
        numbers = np.asarray(sample_numbers)
        time_of_sample = self._time_of_sample
        if not numbers.size or time_of_sample is None:
            return np.full(numbers.shape, np.nan)
        if self._offset:
            # Sample numbers continue across link losses; the clock is the
            # running stream's, which knows nothing of samples before it.
            axis = numbers.astype(np.float64)
            times = self._raw_times_of(axis - self._offset)
            times[axis < self._offset] = np.nan
            return times
        return self._raw_times_of(numbers)

    def _raw_times_of(self, numbers: np.ndarray) -> np.ndarray:
        """time_of() for the running stream's own sample numbers."""
        time_of_sample = self._time_of_sample
        assert time_of_sample is not None
        first = float(numbers.flat[0])
        # The clock is a line over sample numbers: two points place them all.
        span = float(max(self._rate, 1))
        with self._lock:
            if (not self._finalizer.alive
                    or time_of_sample(self._handle, first, self._t0_ref)
                    or time_of_sample(self._handle, first + span, self._t1_ref)):
                return np.full(numbers.shape, np.nan)
            t0, t1 = self._t0.value, self._t1.value
        # t(n) = t0 + (n - first) * per_sample, in seconds: one scale and
        # one shift over the array (the float intercept keeps ns precision).
        per_sample = (t1 - t0) / span
        times = numbers.astype(np.float64)
        times *= per_sample * 1e-9
        times += (t0 - first * per_sample) * 1e-9
        return times

    def _stream_times(self, sample_numbers: np.ndarray) -> np.ndarray:
        """The library's published times of the samples, in seconds: for
        consecutive samples they increase without steps, and a sample keeps
        its time from block to block. NaN while no clock is known."""
        published = self._published_times
        if published is None or not sample_numbers.size:
            return self.time_of(sample_numbers)
        numbers = sample_numbers.astype(np.int64)
        out = np.empty(numbers.shape, dtype=np.int64)
        # One call per run of consecutive numbers.
        breaks = np.flatnonzero(np.diff(numbers) != 1) + 1
        starts, stops = np.r_[0, breaks], np.r_[breaks, numbers.size]
        with self._lock:
            for start, stop in zip(starts, stops):
                if (not self._finalizer.alive
                        or published(self._handle, int(numbers[start]), int(stop - start),
                                     out[start:].ctypes.data_as(ctypes.POINTER(ctypes.c_int64)))):
                    return np.full(numbers.shape, np.nan)
        return out * 1e-9

    # ---- settings -----------------------------------------------------------------

    def configure(self, electrodes: Optional[Sequence[int]] = None,
                  gain: Union[int, Sequence[int]] = 8, rate: Optional[int] = None,
                  impedance: Union[bool, int] = False, accel: bool = False, contact: bool = True,
                  bias: Sequence[int] = ()) -> None:
        """Sets what the next start() streams.

        electrodes: 1-based electrode numbers (default: all of the model).
        gain: amplifier multiplier, 1, 2, 4, 6, 8 or 12; one value or one per
          electrode.
        rate: samples per second (250, 500, ... 16000 as the model offers;
          None keeps the present rate). Raises UnsupportedSampleRate.
        impedance: True (or a mode byte) streams impedance readings in raw
          counts instead of microvolts.
        accel: stream the accelerometer (models that have one).
        contact: stream each electrode's contact flag.
        bias: electrode numbers put into the bias drive.
        """
        with self._lock:
            info = self._require_connection()
            if self._streaming:
                raise PreconditionFailed("stop the stream before changing its configuration")
            settings = Settings.make(info, electrodes, gain, impedance, accel, contact,
                                     bias)
            if rate is not None:
                if rate not in RATE_CODES:
                    raise error_for(3, f"{rate} Hz")
                check(_library.lib().cy_eeg_manager_set_data_stream_rate(
                    self._m(), RATE_CODES[rate]), f"{rate} Hz on {info.model}")
                self._rate = rate
            self._settings = settings

    # ---- stream -------------------------------------------------------------------

    def start(self) -> None:
        """Uploads the configuration and starts the stream into a fresh
        buffer of buffer_seconds."""
        with self._lock:
            info = self._require_connection()
            if self._streaming:
                raise PreconditionFailed("the stream is already running")
            cy = _library.lib()
            m = self._m()
            s = self._settings
            assert s is not None
            s.apply(cy, m, info.electrode_count, self._rate)
            check(cy.cy_eeg_manager_load_config(m, _capi.NO_COMPLETION_CALLBACK, None),
                  f"configuration upload to {self.name!r}")
            capacity = max(1, int(math.ceil(self.buffer_seconds * self._rate)))
            r = self._receiver
            r.prepare(capacity, len(s.electrodes), s.contact, s.accel)
            # Chunks may arrive before start_stream returns, so the buffer is
            # bound to the layout the start will freeze: enabled channels in
            # ascending id order.
            r.bind(s.ring_positions())
            code = cy.cy_eeg_manager_start_stream(m, _capi.NO_COMPLETION_CALLBACK, None)
            if code != 0:
                r.end()
                raise error_for(code, f"start the stream of {self.name!r}")
            self._streaming = True
            if not self._resuming:
                self._offset, self._last_raw, self._gap = 0, -1, None
                self._earlier_annotations, self.outages = [], []
            for position, channel in enumerate(s.layout()):
                actual = cy.cy_eeg_manager_get_channel_index(m, channel.id)
                if actual != position:  # pragma: no cover - a library change
                    self._stop_locked(cy, m)
                    raise CalyraError(f"channel {channel.id:#06x} streams at position {actual}, "
                                      f"expected {position}")

    def stop(self) -> None:
        """Stops the stream. Samples already received stay readable."""
        with self._lock:
            self._stop_requested = self._reconnecting
            if not self._streaming:
                return
            self._stop_locked(_library.lib(), self._m())

    def _stop_locked(self, cy: Any, m: int) -> None:
        self._streaming = False
        try:
            # After link loss the library has already ended the stream.
            if cy.cy_eeg_manager_is_streaming(m):
                check(cy.cy_eeg_manager_stop_stream(m, _capi.NO_COMPLETION_CALLBACK, None),
                      f"stop the stream of {self.name!r}")
        finally:
            self._receiver.end()

    def read(self, max_samples: Optional[int] = None,
             timeout: Optional[float] = None) -> Block:
        """Removes the oldest buffered samples (at most max_samples) and
        returns them as a Block. Waits until at least one sample is there:
        up to `timeout` seconds, or with timeout=None for as long as the
        stream delivers (see stall_timeout).

        Raises BufferOverrun when samples were dropped since the last read
        (the buffered samples stay for the next read), LinkLost once the link
        dropped and the buffer is empty, NotStreaming when no stream runs and
        the buffer is empty, StreamTimeout when the timeout passes without a
        sample, StreamStalled (a StreamTimeout) when the running stream has
        delivered no sample for stall_timeout seconds.
        """
        return self._take(max_samples, timeout, 1, consume=True)

    def latest(self, n: int) -> Block:
        """The newest n buffered samples (fewer if fewer are there), left in
        the buffer. Does not wait."""
        return self._take(int(n), 0.0, 0, consume=False)

    def stream(self, max_samples: Optional[int] = None,
               timeout: Optional[float] = None) -> Iterator[Block]:
        """Iterates over Blocks until the stream is stopped and its buffer
        read. Waits like read(): `timeout` bounds each wait, and a stream
        that delivers nothing for stall_timeout raises StreamStalled; link
        loss raises LinkLost. Raises NotStreaming at once when no stream was
        started and nothing is buffered."""
        if not self.streaming and self._receiver.available() == 0:
            if self._receiver.link_lost:
                raise LinkLost(f"the link to {self.name!r} was lost; reconnect to continue")
            raise NotStreaming(f"no stream of {self.name!r} is running: call start() before "
                               "stream()")
        return self._blocks(max_samples, timeout)

    def _blocks(self, max_samples: Optional[int], timeout: Optional[float]) -> Iterator[Block]:
        while True:
            try:
                block = self.read(max_samples, timeout)
            except NotStreaming:
                return
            yield block

    def _take(self, max_samples: Optional[int], timeout: Optional[float], min_samples: int,
              consume: bool) -> Block:
        if max_samples is not None and max_samples < 0:
            raise ValueError("max_samples must not be negative")
        if consume and self._gap is not None:
            return self._take_gap(max_samples)
        r = self._receiver
        if r.capacity == 0:  # never started
            if consume:
                raise NotStreaming(f"no stream of {self.name!r} has been started")
            return self._block((np.zeros((len(self.channel_names), 0)), np.zeros((0, 0), np.uint8),
                                np.zeros((0, 0), np.float32), np.zeros(0, np.uint64),
                                np.zeros(0, np.uint8)), 0)
        try:
            arrays, dropped = r.take(max_samples, timeout, min_samples, consume,
                                     raise_dropped=self.on_overrun == "raise",
                                     stall_timeout=self.stall_timeout)
        except StreamStalled as e:
            raise self._stalled(e.seconds) from None
        except LinkLost:
            if not (self.reconnect and consume and self._streaming):
                raise
            self._gap = self._resume()
            return self._take(max_samples, timeout, min_samples, consume)
        if arrays is None:
            raise BufferOverrun(dropped)
        if consume and len(arrays[3]):
            # Where an outage would begin, also after samples were dropped.
            self._last_raw = int(arrays[3][-1])
        if dropped:
            warnings.warn(BufferOverrunWarning(
                f"{dropped} samples of {self.name!r} dropped: the receive buffer overflowed"),
                stacklevel=3)
        return self._block(arrays, dropped)

    def _stalled(self, seconds: float) -> StreamStalled:
        """StreamStalled saying what the library saw while no sample came."""
        stats = self.stream_stats
        if stats is None:
            seen = "no sample arrived"
        elif stats.packets_received == 0:
            seen = "the headset sent no stream notifications"
        elif stats.undecodable_payloads:
            seen = (f"{stats.packets_received} notifications arrived, "
                    f"{stats.undecodable_payloads} of them with a length that fits no packet "
                    "of the configured stream")
        else:
            seen = f"{stats.packets_received} notifications arrived since the start, none lately"
        e = StreamStalled(f"the stream of {self.name!r} delivered no sample for {seconds:.1f} s: "
                          f"{seen}")
        e.seconds = seconds
        if stats is not None:
            e.notifications, e.undecodable = stats.packets_received, stats.undecodable_payloads
        return e

    def _block(self, arrays: Tuple[np.ndarray, ...], dropped: int) -> Block:
        data, contact, accel, raw, flag = arrays
        s = self._settings
        filled = flag == 0
        if self.fill_nan and filled.any():
            data[:, filled] = np.nan
        timestamps = self._stream_times(raw)
        numbers = raw + np.uint64(self._offset) if self._offset else raw
        annotations = []
        if len(numbers):
            first, last = int(numbers[0]), int(numbers[-1])
            annotations = [a for a in self._annotation_list() if first <= a[0] <= last]
        return Block(data=data, sample_numbers=numbers, rate=self._rate,
                     channel_names=list(self.channel_names), filled=filled,
                     link_lost=np.zeros(len(numbers), dtype=bool),
                     timestamps=timestamps,
                     contact=contact.astype(bool) if s and s.contact else None,
                     accel=accel if s and s.accel else None, annotations=annotations,
                     dropped=dropped, unit="counts" if s and s.impedance else "uV")

    # ---- link loss ------------------------------------------------------------------

    def _take_gap(self, max_samples: Optional[int]) -> Block:
        """The next part of the outage's filler samples (up to max_samples)."""
        gap = self._gap
        assert gap is not None
        n = len(gap) if max_samples is None else min(len(gap), max_samples)
        if n == len(gap):
            self._gap = None
            return gap

        def part(a: Optional[np.ndarray], rest: bool) -> Optional[np.ndarray]:
            return None if a is None else (a[..., n:] if rest else a[..., :n])

        fields = ("data", "sample_numbers", "filled", "link_lost", "timestamps", "contact",
                  "accel")
        first: Dict[str, Any] = {f: part(getattr(gap, f), False) for f in fields}
        rest: Dict[str, Any] = {f: part(getattr(gap, f), True) for f in fields}
        head = Block(**first, rate=gap.rate, channel_names=list(gap.channel_names), unit=gap.unit)
        self._gap = Block(**rest, rate=gap.rate, channel_names=list(gap.channel_names), unit=gap.unit)
        return head

    def _resume(self) -> Optional[Block]:
        """Gets the lost headset back and starts its stream again; returns
        the Block of filler samples standing for the outage (None when it
        was shorter than a sample). Raises LinkLost when reconnect_timeout
        passes, CalyraError when the headset comes back as another model or
        electrode count (or at another rate) or is closed meanwhile,
        NotStreaming when stop() or disconnect() comes meanwhile."""
        with self._lock:
            self._reconnecting, self._stop_requested = True, False
        try:
            return self._bring_back()
        finally:
            self._reconnecting = False

    def _check_wanted(self) -> None:
        """Raises when another thread closed, stopped or disconnected the
        headset while this one brings its link back."""
        if self.closed:
            raise self._closed_error()
        if self._stop_requested:
            raise NotStreaming(f"the stream of {self.name!r} was stopped while its link was "
                               "being brought back")

    def _pause(self, seconds: float) -> None:
        until = time.monotonic() + seconds
        while True:
            self._check_wanted()
            left = until - time.monotonic()
            if left <= 0:
                return
            time.sleep(min(left, 0.05))

    def _first_sample_host(self, m: int) -> int:
        """The new stream's first sample on the host clock, by its own clock
        once known (about a second of stream), else now."""
        give_up = time.monotonic() + 3.0
        while time.monotonic() < give_up:
            with self._lock:
                self._check_wanted()
                if self._time_of_sample is not None and \
                        self._time_of_sample(m, 0.0, self._t0_ref) == 0:
                    return int(self._t0.value)
            time.sleep(0.02)
        return time.monotonic_ns()

    def _bring_back(self) -> Optional[Block]:
        cy = _library.lib()
        m = self._m()
        info = self._info
        assert info is not None
        lost_at = time.monotonic_ns()
        # The stream that was lost still answers for its samples until the
        # next start: the last one read is where the outage begins.
        last_axis = self._last_raw + self._offset
        last_host = lost_at
        rate = float(self._rate)
        if self._last_raw >= 0 and self._time_of_sample is not None:
            if self._time_of_sample(m, float(self._last_raw), self._t0_ref) == 0:
                last_host = self._t0.value
        if _capi.has("cy_eeg_manager_get_clock_info"):
            clock = _capi.ClockInfo()
            if cy.cy_eeg_manager_get_clock_info(m, ctypes.byref(clock)) == 0 and \
                    clock.state != 0 and clock.rate_hz > 0:
                rate = clock.rate_hz
        earlier = self._annotation_list()
        deadline = None if self.reconnect_timeout is None else lost_at * 1e-9 + \
            self.reconnect_timeout
        attempts = 0
        settings = self._settings
        assert settings is not None
        configured_rate = self._rate
        while True:
            self._check_wanted()
            attempts += 1
            failure: Optional[CalyraError] = None
            self._streaming = False
            try:
                self.connect()
            except CalyraError as e:
                failure = e
            self._check_wanted()
            if failure is None:
                now = self._info
                assert now is not None
                if (now.model, now.electrode_count) != (info.model, info.electrode_count):
                    self.disconnect()
                    raise CalyraError(f"{self.name!r} came back as {now.model} with "
                                      f"{now.electrode_count} electrodes, not {info.model} "
                                      f"with {info.electrode_count}: not appended")
                self._resuming = True
                try:
                    # The same configuration, the rate included (a connect
                    # resets the headset's settings).
                    self.configure(settings.electrodes, settings.gains, configured_rate,
                                   settings.impedance, settings.accel, settings.contact,
                                   settings.bias)
                    self.start()
                    break
                except CalyraError as e:
                    failure = e
                finally:
                    self._resuming = False
            wait = 0.0 if attempts == 1 else min(5.0, 0.5 * 2 ** min(attempts - 2, 4))
            if deadline is not None and time.monotonic() + wait >= deadline:
                raise LinkLost(f"the link to {self.name!r} was lost and the headset did not "
                               f"come back within {self.reconnect_timeout:g} s "
                               f"({attempts} attempts; last: {failure})") from None
            self._pause(wait)
        try:
            first_host = self._first_sample_host(m)
            with self._lock:
                self._check_wanted()
                clock = _capi.ClockInfo()
                if _capi.has("cy_eeg_manager_get_clock_info") and \
                        cy.cy_eeg_manager_get_clock_info(m, ctypes.byref(clock)) == 0 and \
                        clock.state != 0 and abs(clock.rate_hz / rate - 1) > 0.01:
                    raise CalyraError(f"{self.name!r} came back at {clock.rate_hz:.1f} Hz "
                                      f"instead of {rate:.1f} Hz: not appended")
        except BaseException:
            # The new stream is not placed: it ends, and what it sent would
            # be numbered on the old stream's axis, so it goes too.
            with self._lock:
                if not self.closed and self._streaming:
                    try:
                        self._stop_locked(cy, m)
                    except CalyraError:
                        pass
                self._receiver.discard()
            raise
        out = _capi.StreamResume()
        if last_axis < 0:
            out.first_sample, out.filled, out.gap_s = 0, 0, (first_host - lost_at) * 1e-9
        else:
            check(cy.cy_stream_resume_position(last_axis, last_host, first_host, rate,
                                               ctypes.byref(out)), "place the new stream")
        self._earlier_annotations = list(earlier)
        self._annotations = None
        self._offset = int(out.first_sample)
        self._last_raw = -1
        self.outages.append(Outage(last_axis + 1, float(out.gap_s), int(out.filled), attempts))
        n = int(out.filled)
        if n == 0:
            return None
        s = self._settings
        assert s is not None
        numbers = np.arange(last_axis + 1, last_axis + 1 + n, dtype=np.uint64)
        data = np.full((len(self.channel_names), n), np.nan if self.fill_nan else 0.0)
        timestamps = (last_host + np.arange(1, n + 1) * (1e9 / rate)) * 1e-9
        return Block(data=data, sample_numbers=numbers, rate=self._rate,
                     channel_names=list(self.channel_names), filled=np.ones(n, dtype=bool),
                     link_lost=np.ones(n, dtype=bool), timestamps=timestamps,
                     contact=np.zeros((len(self.channel_names), n), dtype=bool)
                     if s.contact else None,
                     accel=np.zeros((3, n), dtype=np.float32) if s.accel else None,
                     unit="counts" if s.impedance else "uV")

    # ---- annotations ----------------------------------------------------------------

    def annotate(self, text: str, at: Optional[float] = None) -> None:
        """Stores `text` at the sample acquired at host time `at` (a
        time.monotonic() value, past or a little ahead; None: now), placed by
        the library's drift-tracking stream clock. Within the first second
        of a stream, before that clock is known, a mark for now falls back to
        the library's start-of-stream estimate. Raises NotStreaming before
        any stream delivered packets."""
        with self._lock:
            self._require_connection()
            self._annotations = None
            cy = _library.lib()
            encoded = str(text).encode()
            if not _capi.has("cy_eeg_manager_annotate_at"):
                if at is not None:
                    raise CalyraError("the loaded libcycore has no stream clock: annotate "
                                      "without `at`")
                check(cy.cy_eeg_manager_annotate(self._m(), encoded), "annotate")
                return
            when = time.monotonic_ns() if at is None else int(round(at * 1e9))
            code = cy.cy_eeg_manager_annotate_at(self._m(), encoded, when)
            if code == NotStreaming.code and at is None:
                code = cy.cy_eeg_manager_annotate(self._m(), encoded)
            check(code, "annotate")

    @property
    def annotations(self) -> List[Tuple[int, str]]:
        """Every annotation of this connection as (sample_number, text)."""
        return list(self._annotation_list())

    def _annotation_list(self) -> List[Tuple[int, str]]:
        # The manager's annotations change only through this object
        # (annotate, connect, disconnect), so a copy serves the reads.
        cached = self._annotations
        if cached is not None:
            return cached
        with self._lock:
            if self._info is None or not self._finalizer.alive:
                return []
            out = ctypes.POINTER(_capi.Annotation)()
            count = ctypes.c_size_t()
            _library.lib().cy_eeg_manager_get_annotations(self._m(), ctypes.byref(out),
                                                          ctypes.byref(count))
            self._annotations = self._earlier_annotations + [
                (out[i].sample_number + self._offset, out[i].text.decode(errors="replace"))
                for i in range(count.value)]
            return self._annotations

    # ---- firmware -------------------------------------------------------------------

    def update_firmware(self, path: Union[str, "os.PathLike[str]"],
                        progress: Optional[Callable[[int, int], Any]] = None) -> None:
        """Sends the firmware image at `path` to the headset. Blocks for at
        least 5 s (the headset's acknowledgement window) plus 10 ms per
        block. progress(sent, total) is called after every block on this
        thread; an exception it raises is re-raised once the update ends
        (the update itself cannot be interrupted).

        The library takes the image path from its process-wide
        configuration, so this sets that path first.
        """
        with self._lock:
            self._require_connection()
            if self._streaming:
                raise PreconditionFailed("stop the stream before a firmware update")
            path = os.fspath(path)
            if not os.path.isfile(path):
                raise FileNotFoundError(path)
            _library.set_update_path(os.path.abspath(path))
            failure: List[BaseException] = []

            def on_progress(_user: Any, total: int, sent: int) -> None:
                if progress is None or failure:
                    return
                try:
                    progress(sent, total)
                except BaseException as e:  # noqa: BLE001 - re-raised below
                    failure.append(e)

            thunk = _capi.UPDATE_PROGRESS_CALLBACK(on_progress)
            code = _library.lib().cy_eeg_manager_start_update(self._m(), thunk, None)
            if failure:
                raise failure[0]
            check(code, f"firmware update of {self.name!r}")
