#!/usr/bin/python3
"""Prints every electrode's signal quality once a second while streaming.

    live_quality.py [NAME] [--seconds N] [--notch HZ] [--hardware]

Without --hardware it uses the built-in virtual headsets, which add 50 Hz
mains hum: add --notch 50 to see the grades turn good.
"""

import argparse

import numpy as np

import calyra
from calyra import signal

GRADES = {signal.BAD: "bad", signal.NOISY: "noisy", signal.GOOD: "good"}


def main():
    p = argparse.ArgumentParser(description="Live signal quality per electrode")
    p.add_argument("name", nargs="?", default="CY KESTREL 5")
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--notch", type=float, default=0.0, help="mains frequency to remove first")
    p.add_argument("--hardware", action="store_true", help="use real headsets")
    a = p.parse_args()
    if not a.hardware:
        calyra.use_virtual_headsets()

    with calyra.Headset(a.name) as h:
        print(f"{h.info.model} {h.name}: {h.info.electrode_count} electrodes, "
              f"battery {h.battery.level} %")
        h.start()
        window = np.empty((len(h.channel_names), 0))
        received, next_report = 0, h.rate
        for block in h.stream():
            received += len(block)
            window = np.hstack([window, block.data])[:, -2 * h.rate:]  # the last 2 s
            if received < next_report:
                continue
            next_report += h.rate
            data = signal.notch(window, h.rate, a.notch) if a.notch else window
            grades = signal.quality(data, h.rate)
            print(f"{received / h.rate:5.1f} s  " + "  ".join(
                f"{name} {GRADES[g]}" for name, g in zip(block.channel_names, grades)),
                flush=True)
            if received >= a.seconds * h.rate:
                h.stop()  # stream() ends once the buffer is empty


if __name__ == "__main__":
    main()
