#!/usr/bin/python3
"""Ten seconds from a virtual headset into MNE-Python; plots nothing."""

import calyra

calyra.use_virtual_headsets()
with calyra.Headset("CY KESTREL 5") as h:
    raw = calyra.record(h, seconds=10)
print(raw)
print(raw.info["sfreq"], "Hz,", raw.ch_names)
