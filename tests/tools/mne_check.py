"""Reads BDF recordings with MNE and prints what the tests check, one
`key=value` line each and one `annotation<TAB>onset<TAB>description` line per
annotation, each file's lines after a `file=PATH` line. Any warning MNE gives
is an error: a recording must open cleanly."""
import sys
import warnings

warnings.simplefilter("error")

import mne  # noqa: E402


def main(path):
    print(f"file={path}")
    raw = mne.io.read_raw_bdf(path, preload=True, infer_types=True, verbose="error")
    print(f"n_times={raw.n_times}")
    print(f"sfreq={raw.info['sfreq']}")
    print("names=" + ",".join(raw.ch_names))
    print("types=" + ",".join(raw.get_channel_types()))
    print(f"highpass={raw.info['highpass']}")
    print(f"lowpass={raw.info['lowpass']}")
    kept = raw.get_data(reject_by_annotation="omit").shape[1]
    print(f"kept_by_reject={kept}")
    for a in raw.annotations:
        print(f"annotation\t{a['onset']:.4f}\t{a['description']}")


if __name__ == "__main__":
    for path in sys.argv[1:]:
        main(path)
