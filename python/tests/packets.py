"""Stream packets of a KESTREL headset (4 electrodes, 50 samples per packet,
accelerometer) written and decoded from the packet layout alone, sharing no
code with the library: random wire fields go into replay payloads, and the
values a receiver must reconstruct are computed here from the same fields.

Layout: the first sample as 24-bit little-endian values (negative v sent as
v + 0xFFFFFF), then 12-bit difference fields packed most significant bit
first, accelerometer x, y, z (int16 LE), the status byte (bit i: electrode
i), the counter (sample number of the last sample, uint32 LE), one zero byte.
"""

import numpy as np

ELECTRODES = 4
SAMPLES = 50
FULL_SCALE_VOLTS = 4.5


def difference(fields):
    """The difference a 12-bit field carries: 4 * low 11 bits when the top
    bit is clear, else 4 * low 11 bits - 8191."""
    fields = np.asarray(fields, dtype=np.int64)
    low = 4 * (fields & 0x7FF)
    return np.where(fields & 0x800, low - 8191, low)


def pack_fields(fields):
    """12-bit fields into bytes, most significant bit first."""
    fields = np.asarray(fields, dtype=np.uint16)
    if len(fields) % 2:
        fields = np.append(fields, 0)
        trim = True
    else:
        trim = False
    a, b = fields[0::2].astype(np.uint32), fields[1::2].astype(np.uint32)
    out = np.empty(3 * len(a), dtype=np.uint8)
    out[0::3] = a >> 4
    out[1::3] = ((a & 0xF) << 4) | (b >> 8)
    out[2::3] = b & 0xFF
    return out[:-1].tobytes() if trim else out.tobytes()


class Stream:
    """`packets` random packets with consecutive counters, except that the
    packets listed in `skip` are left out (the headset's counter moves on, so
    the receiver sees a gap)."""

    def __init__(self, packets, seed=7, skip=(), gain=8):
        rng = np.random.default_rng(seed)
        self.payloads = []
        numbers, values, contact, accel = [], [], [], []
        for p in range(packets):
            first = rng.integers(-4_000_000, 4_000_000, size=ELECTRODES)
            fields = rng.integers(0, 4096, size=(SAMPLES - 1, ELECTRODES))
            xyz = rng.integers(-32768, 32768, size=3)
            status = int(rng.integers(0, 16))
            counter = (p + 1) * SAMPLES - 1
            if p in skip:
                continue
            wire_first = np.where(first < 0, first + 0xFFFFFF, first)
            payload = b"".join(int(v).to_bytes(3, "little") for v in wire_first)
            payload += pack_fields(fields.reshape(-1))
            payload += b"".join(int(v).to_bytes(2, "little", signed=True) for v in xyz)
            payload += bytes([status]) + counter.to_bytes(4, "little") + b"\0"
            self.payloads.append(payload.hex())

            counts = np.vstack([first, first + np.cumsum(difference(fields), axis=0)])
            values.append(counts.T)
            numbers.append(np.arange(counter + 1 - SAMPLES, counter + 1, dtype=np.uint64))
            bits = np.array([(status >> e) & 1 for e in range(ELECTRODES)], dtype=bool)
            contact.append(np.repeat(bits[:, None], SAMPLES, axis=1))
            accel.append(np.repeat(_accel_ms2(xyz)[:, None], SAMPLES, axis=1))
        self.counts = np.hstack(values)
        self.sample_numbers = np.concatenate(numbers)
        self.contact = np.hstack(contact)
        self.accel = np.hstack(accel)
        # Divide, then scale: the receiver's order of operations.
        self.microvolts = (self.counts / 8388607.0) * (FULL_SCALE_VOLTS / gain) * 1000000.0

    def write(self, path):
        path.write_text("# KESTREL packets for the Python tests\n" + "\n".join(self.payloads) + "\n")
        return str(path)


def _accel_ms2(raw):
    # 3.9 milli-g per count, computed in single precision as the library's
    # conversion does, so the values compare bit for bit.
    r = np.asarray(raw).astype(np.float32)
    return ((r * np.float32(3.9)) * np.float32(9.80665)) / np.float32(1000.0)
