#!/usr/bin/python3
"""Throughput and latency of the Python read path.

Throughput: six virtual HERON headsets (32 electrodes) at pace=fast, one
reader thread each calling Headset.read() in a loop; reports channel-samples
per second sustained through read() and whether any buffer overran.

Latency: from the moment the chunk callback has copied a chunk into the
ring buffer to the moment a reader blocked in read() has its Block, on a
realtime-paced headset (the reader is waiting each time) and under the full
fast load.

    CALYRA_LIBRARY_PATH=build/core:build/bciconnect python3 bench/python/stream_bench.py
"""

import argparse
import os
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
import calyra  # noqa: E402


def _percentiles(ns):
    if not ns:
        return "no samples"
    us = np.asarray(ns) / 1000.0
    return (f"median {np.median(us):.0f} us, p90 {np.percentile(us, 90):.0f} us, "
            f"p99 {np.percentile(us, 99):.0f} us, max {us.max():.0f} us ({len(us)} reads)")


def _reader(h, stop, result, pause):
    samples, overruns, latencies = 0, 0, []
    receiver = h._receiver  # the time the newest chunk landed, for latency
    while not stop.is_set():
        if pause:
            time.sleep(pause)  # let chunks gather into larger reads
        try:
            block = h.read(timeout=1.0)
        except calyra.BufferOverrun as e:
            overruns += e.dropped
            continue
        latencies.append(time.perf_counter_ns() - receiver.last_chunk_ns)
        samples += len(block)
    result.update(samples=samples, overruns=overruns, latencies=latencies)


def throughput(headsets, seconds, contact, buffer_seconds, pause):
    names = [f"CY HERON {i + 1}" for i in range(headsets)]
    calyra.use_virtual_headsets([f"{n},model=2,pace=fast,line=0" for n in names])
    opened = [calyra.Headset(n, buffer_seconds=buffer_seconds) for n in names]
    for h in opened:
        h.configure(contact=contact)
    stop = threading.Event()
    results = [{} for _ in opened]
    threads = [threading.Thread(target=_reader, args=(h, stop, r, pause))
               for h, r in zip(opened, results)]
    for h in opened:
        h.start()
    # Warm up, then measure from a clean count.
    time.sleep(0.5)
    for t in threads:
        t.start()
    begin = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - begin
    for h in opened:
        h.stop()
        h.close()
    samples = sum(r["samples"] for r in results)
    channels = 32
    overruns = sum(r["overruns"] for r in results)
    latencies = [x for r in results for x in r["latencies"]]
    return samples * channels / elapsed, samples / elapsed, overruns, latencies


def library_ceiling(headsets, seconds):
    """The same headsets with the chunk callback removed: what the library
    and the virtual headsets deliver on this machine without any Python on
    the data path (samples counted from the headsets' packet counts)."""
    from calyra import _capi
    names = [f"CY HERON {i + 1}" for i in range(headsets)]
    calyra.use_virtual_headsets([f"{n},model=2,pace=fast,line=0" for n in names])
    opened = [calyra.Headset(n) for n in names]
    for h in opened:
        h.configure(contact=False)
        h.start()
        _capi.cycore().cy_eeg_manager_set_callback_chunk(h._handle, _capi.CHUNK_CALLBACK(), None)
    time.sleep(0.5)
    before = sum(calyra.virtual.stats(n).packets_sent for n in names)
    time.sleep(seconds)
    after = sum(calyra.virtual.stats(n).packets_sent for n in names)
    for h in opened:
        h.close()
    return (after - before) * 10 * 32 / seconds  # HERON: 10 samples per packet


def idle_latency(seconds):
    # 25-sample chunks (the library default): ten chunks a second at 250 Hz.
    calyra.configure(chunk_size=25)
    calyra.use_virtual_headsets("CY HERON 1,model=2")
    with calyra.Headset("CY HERON 1") as h:
        h.configure(rate=250)
        h.start()
        latencies = []
        h.read(timeout=2)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            h.read(timeout=2)
            latencies.append(time.perf_counter_ns() - h._receiver.last_chunk_ns)
        h.stop()
    return latencies


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=5.0)
    p.add_argument("--headsets", type=int, default=6)
    p.add_argument("--chunk-size", type=int, default=None,
                   help="samples per library chunk (library default: 25)")
    p.add_argument("--contact", action="store_true", help="also stream the 32 contact flags")
    p.add_argument("--pause", type=float, default=0.0,
                   help="seconds each reader sleeps between reads (0: read as chunks arrive; "
                        "the latency figures then include the pause)")
    # Fast headsets deliver far above their nominal 250 Hz: 240 s of nominal
    # rate hold about a second of their output.
    p.add_argument("--buffer-seconds", type=float, default=240.0)
    a = p.parse_args()
    if a.chunk_size:
        calyra.configure(chunk_size=a.chunk_size)
    chunk = calyra.get_config()["chunk_size"]
    rate, sample_rate, overruns, load_latencies = throughput(
        a.headsets, a.seconds, a.contact, a.buffer_seconds, a.pause)
    print(f"{a.headsets} headsets x 32 channels, pace=fast, chunk_size {chunk}, "
          f"contact {'on' if a.contact else 'off'}, pause between reads {a.pause} s:")
    print(f"  {rate / 1e6:.1f} million channel-samples/s through read() "
          f"({sample_rate / 1e3:.0f} k samples/s), samples dropped by overruns: {overruns}")
    print(f"  callback-to-reader latency under load: {_percentiles(load_latencies)}")
    ceiling = library_ceiling(a.headsets, a.seconds)
    print(f"  for comparison, the library alone (no chunk callback): "
          f"{ceiling / 1e6:.1f} million channel-samples/s")
    print(f"  callback-to-reader latency, one realtime headset: {_percentiles(idle_latency(3.0))}")


if __name__ == "__main__":
    main()
