#!/usr/bin/python3
"""The online band-pass (4th order, 1-40 Hz at 250 Hz) beside SciPy's sosfilt
with a carried zi, single-threaded, on the same chunk shapes in one run.

    OPENBLAS_NUM_THREADS=1 /usr/bin/python3 bench/bciconnect/online_filter_vs_scipy.py [build]

Runs build/bench/bciconnect/bciconnect_bench for BM_OnlineBandPass (Google
Benchmark, the library called from C), then times sosfilt on the same
shapes with the same sections (the best of several repeats), and prints
microseconds per chunk and the ratio.
"""

import json
import os
import subprocess
import sys
import timeit

import numpy as np
from scipy import signal as sps

SHAPES = [(32, 25), (32, 250), (64, 100000)]


def library_times(build):
    program = os.path.join(build, "bench", "bciconnect", "bciconnect_bench")
    result = subprocess.run([program, "--benchmark_filter=BM_OnlineBandPass",
                             "--benchmark_format=json", "--benchmark_min_time=0.5"],
                            check=True, capture_output=True, text=True)
    times = {}
    for entry in json.loads(result.stdout)["benchmarks"]:
        channels, samples = (int(v) for v in entry["name"].split("/")[1:3])
        scale = {"us": 1.0, "ms": 1e3, "ns": 1e-3}[entry["time_unit"]]
        times[(channels, samples)] = entry["real_time"] * scale
    return times


def scipy_time(channels, samples):
    sos = sps.butter(4, [1, 40], btype="bandpass", fs=250, output="sos")
    rng = np.random.default_rng(7)
    chunk = 10 * rng.standard_normal((channels, samples))
    zi = np.zeros((sos.shape[0], channels, 2))

    def step():
        nonlocal zi
        _, zi = sps.sosfilt(sos, chunk, axis=-1, zi=zi)

    number = max(1, int(2e6 // (channels * samples)))
    best = min(timeit.repeat(step, number=number, repeat=5))
    return best / number * 1e6


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    ours = library_times(build)
    print(f"{'chunk':>14}  {'library us':>11}  {'sosfilt us':>11}  {'speed-up':>8}  "
          f"{'library Msamples/s':>18}")
    for channels, samples in SHAPES:
        theirs = scipy_time(channels, samples)
        mine = ours[(channels, samples)]
        rate = channels * samples / mine
        print(f"{channels:>5} x {samples:<6}  {mine:>11.2f}  {theirs:>11.2f}  "
              f"{theirs / mine:>7.1f}x  {rate:>18.1f}")


if __name__ == "__main__":
    main()
