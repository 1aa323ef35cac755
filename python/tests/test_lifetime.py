"""A Headset's life: released from whichever thread the garbage collector
runs on, one Headset per headset, and errors that say what happened."""

import os
import subprocess
import sys
import threading
import time

import pytest

import calyra

_PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# A streaming Headset left in a reference cycle, three times over; each
# time the headset must be released (its link down) and open again. The
# collector runs on the library's chunk thread: forced there by the chunk
# handler (on request), or left to the thresholds while the main thread
# sleeps.
_CYCLE = """
import gc, sys, time, calyra
from calyra import _receiver
collect_in_callback = []
on_chunk = _receiver.Receiver._on_chunk
def collecting(self, *args):
    on_chunk(self, *args)
    if collect_in_callback:
        collect_in_callback.clear()
        gc.collect()
_receiver.Receiver._on_chunk = collecting
calyra.use_virtual_headsets("CY KESTREL 5")
gc.set_threshold(*{thresholds})
for round in range(3):
    h = calyra.Headset("CY KESTREL 5")
    h.start()
    h.read(timeout=2)
    h.me = h
    del h
    collect_in_callback.append({force})
    deadline = time.monotonic() + 5
    while calyra.virtual.stats("CY KESTREL 5").connected:
        if time.monotonic() > deadline:
            sys.exit("round %d: the collected headset stayed connected" % round)
        time.sleep(0.05)
print("released")
"""


@pytest.mark.parametrize("thresholds", ["(700, 10, 10)", "(1, 1, 1)"], ids=["default", "aggressive"])
def test_a_headset_in_a_reference_cycle_is_released_from_any_thread(thresholds):
    code = _CYCLE.format(thresholds=thresholds, force=True)
    try:
        out = subprocess.run([sys.executable, "-c", code], cwd=_PACKAGE_ROOT,
                             capture_output=True, text=True, timeout=45)
    except subprocess.TimeoutExpired:
        pytest.fail("the process hung: a manager was freed inside its own callback")
    assert out.returncode == 0 and out.stdout.strip().endswith("released"), out.stderr


def test_a_second_headset_on_one_name_is_refused(virtual):
    open_headset = virtual("CY KESTREL 5,pace=fast")
    first = open_headset("CY KESTREL 5")
    first.start()
    for name in ("CY KESTREL 5", "cy kestrel 5"):
        with pytest.raises(calyra.PreconditionFailed, match="CY KESTREL 5.*already open"):
            calyra.Headset(name)
    # The refused attempts did not touch the running stream.
    before = int(first.read(timeout=5).sample_numbers[-1])
    assert int(first.read(timeout=5).sample_numbers[0]) == before + 1
    first.close()
    with open_headset("CY KESTREL 5") as again:
        assert again.connected


def test_names_match_in_any_case_or_by_address_and_typos_get_a_suggestion(virtual):
    open_headset = virtual("CY KESTREL 5")
    [seen] = calyra.scan(seconds=0)
    with open_headset("cy kestrel 5") as h:
        assert h.name == "CY KESTREL 5" and h.connected
    with open_headset(seen.address.lower()) as h:
        assert h.name == "CY KESTREL 5"
    with pytest.raises(calyra.DeviceNotFound, match='did you mean "CY KESTREL 5"'):
        open_headset("CY KESTERL 5")
    with pytest.raises(TypeError, match="str"):
        calyra.Headset(b"CY KESTREL 5")  # type: ignore[arg-type]


def test_errors_say_what_state_the_headset_is_in(virtual):
    open_headset = virtual("CY KESTREL 5,pace=fast")
    h = open_headset("CY KESTREL 5")
    with pytest.raises(calyra.NotStreaming, match="start"):
        for _ in h.stream():
            pass
    h.start()
    h.read(timeout=5)
    calyra.virtual.drop_link("CY KESTREL 5")
    deadline = time.monotonic() + 3
    while "link lost" not in repr(h) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert repr(h) == "<calyra.Headset 'CY KESTREL 5' link lost>"
    h.close()
    for action in (h.start, lambda: h.info, lambda: h.battery):
        with pytest.raises(calyra.CalyraError, match="is closed"):
            action()


def test_a_stream_that_delivers_nothing_stalls_instead_of_hanging(virtual, tmp_path):
    from packets import Stream
    replay = Stream(packets=2).write(tmp_path / "short.hex")
    open_headset = virtual(f"CY KESTREL 5,pace=fast,replay={replay}")
    with open_headset("CY KESTREL 5", stall_timeout=0.5) as h:
        h.start()
        outcome = []

        def reader():
            try:
                while True:
                    outcome.append(len(h.read()))  # no timeout: waits while data flows
            except Exception as e:  # noqa: BLE001 - the test inspects it
                outcome.append(e)

        t = threading.Thread(target=reader, daemon=True)
        t.start()
        t.join(timeout=10)
        assert not t.is_alive(), "read() waited for ever on a silent stream"
    *sizes, error = outcome
    assert sum(sizes) == 100
    assert isinstance(error, calyra.StreamStalled) and isinstance(error, calyra.StreamTimeout)
    assert "CY KESTREL 5" in str(error) and error.seconds >= 0.5
