#!/usr/bin/python3
"""Records a headset into MNE-Python and saves a FIF file.

    record_fif.py OUT_raw.fif [NAME] [--seconds N] [--rate HZ] [--hardware]

Lines typed on standard input while recording become annotations.
"""

import argparse
import select
import sys

import calyra


def main():
    p = argparse.ArgumentParser(description="Record to a FIF file")
    p.add_argument("out", help="file name, ending in _raw.fif by MNE's convention")
    p.add_argument("name", nargs="?", default="CY KESTREL 5")
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--rate", type=int, default=250)
    p.add_argument("--hardware", action="store_true", help="use real headsets")
    a = p.parse_args()
    if not a.hardware:
        calyra.use_virtual_headsets()

    with calyra.Headset(a.name) as h:
        h.configure(rate=a.rate)
        h.start()
        blocks, have, wanted = [], 0, int(a.seconds * h.rate)
        while have < wanted:
            block = h.read(max_samples=wanted - have, timeout=5)
            blocks.append(block)
            have += len(block)
            _annotate_typed_lines(h)
        h.stop()
        recording = calyra.Block.concatenate(blocks)
        raw = recording.to_mne(h.annotations)
    raw.save(a.out, overwrite=True, verbose=False)
    print(f"{a.out}: {len(raw.ch_names)} channels, {raw.n_times} samples at "
          f"{raw.info['sfreq']:.0f} Hz, {len(raw.annotations)} annotations, "
          f"{int(recording.filled.sum())} filler samples")


def _annotate_typed_lines(h):
    if not sys.stdin.isatty():
        return
    while select.select([sys.stdin], [], [], 0)[0]:
        line = sys.stdin.readline().strip()
        if line:
            try:
                h.annotate(line)
            except calyra.NotStreaming:
                print("(too early for annotations: the stream timing is not known yet)")


if __name__ == "__main__":
    main()
