"""Result codes become exceptions; a missing library is one clear error."""

import logging
import os
import subprocess
import sys

import pytest

import calyra
from calyra.errors import error_for

_PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.parametrize("code, cls", [
    (1, calyra.ConnectionError), (2, calyra.UnsupportedDevice),
    (3, calyra.UnsupportedSampleRate), (4, calyra.BluetoothDisabled),
    (5, calyra.AdapterNotFound), (6, calyra.AdapterIndexNotFound),
    (7, calyra.PreconditionFailed), (8, calyra.UpdateFailed), (9, calyra.UpdateException),
    (10, calyra.NotStreaming), (11, calyra.DeviceNotFound), (13, calyra.NotInitialized),
])
def test_every_result_code_has_its_class(code, cls):
    e = error_for(code, "doing something")
    assert type(e) is cls and isinstance(e, calyra.CalyraError)
    assert e.code == code
    assert e.message.startswith("doing something: ") and e.message == str(e)


def test_unknown_codes_and_builtin_bases():
    e = error_for(12)
    assert type(e) is calyra.CalyraError and e.code == 12 and "12" in str(e)
    assert issubclass(calyra.ConnectionError, ConnectionError)
    assert issubclass(calyra.LinkLost, calyra.ConnectionError)
    assert issubclass(calyra.StreamTimeout, TimeoutError)


def test_malformed_virtual_device_list_is_refused_with_the_reason():
    with pytest.raises(calyra.PreconditionFailed) as e:
        calyra.use_virtual_headsets("CY KESTREL 5,pace=sometimes")
    assert e.value.code == 7
    assert "pace" in str(e.value) and "present state" not in str(e.value)


def test_a_library_failure_carries_the_library_sentence_for_its_case(virtual):
    open_headset = virtual("CY MTU 26,mtu=26,pace=fast")
    h = open_headset("CY MTU 26")
    with pytest.raises(calyra.PreconditionFailed) as e:
        h.start()  # every electrode: one sample takes 24 bytes
    assert e.value.code == calyra.PreconditionFailed.code
    assert "(MTU 26) carries at most 23 bytes" in str(e.value)
    assert "stream fewer electrodes" in str(e.value)


def test_the_library_log_reaches_the_calyra_core_logger(virtual, caplog):
    virtual("CY KESTREL 5")
    with caplog.at_level(logging.INFO, logger="calyra.core"):
        with pytest.raises(calyra.DeviceNotFound) as e:
            calyra.Headset("CY NOBODY")
    assert any(r.name == "calyra.core" and r.levelno == logging.ERROR
               and r.getMessage() == "Device with name CY NOBODY not found" for r in caplog.records)
    assert '"CY KESTREL 5"' in str(e.value)  # the library's sentence: the names it saw


@pytest.mark.parametrize("soft_block, status, error", [
    ("0", "no_adapter", "AdapterNotFound 5"),
    # The connect asks the backend, not the radio switch; the stand-in
    # backend reports Bluetooth on and no adapter.
    ("1", "disabled", "AdapterNotFound 5"),
])
def test_bluetooth_status_and_connect_without_a_usable_adapter(tmp_path, soft_block, status,
                                                               error):
    # A fresh process on the Bluetooth backend (which finds no adapter on
    # this machine) over a sysfs tree with one Bluetooth radio switch.
    (tmp_path / "bluetooth" / "hci0").mkdir(parents=True)
    switch = tmp_path / "rfkill" / "rfkill0"
    switch.mkdir(parents=True)
    (switch / "type").write_text("bluetooth\n")
    (switch / "soft").write_text(soft_block + "\n")
    (switch / "hard").write_text("0\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith("CYCORE_")}
    env["CYCORE_SYSFS_ROOT"] = str(tmp_path)
    code = ("import calyra\n"
            "print(calyra.bluetooth_status())\n"
            "try:\n"
            "    calyra.Headset('CY KESTREL 5')\n"
            "except calyra.CalyraError as e:\n"
            "    print(type(e).__name__, e.code)\n")
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=_PACKAGE_ROOT,
                         capture_output=True, text=True, timeout=60)
    assert out.stdout.split("\n")[:2] == [status, error], out.stderr


def test_a_missing_library_names_every_place_searched(tmp_path):
    env = dict(os.environ, CALYRA_LIBRARY_PATH=str(tmp_path / "nowhere"), LD_LIBRARY_PATH="")
    code = ("import calyra\n"
            "try:\n"
            "    calyra.signal.mean([1.0, 2.0])\n"
            "except calyra.LibraryNotFound as e:\n"
            "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=_PACKAGE_ROOT,
                         capture_output=True, text=True, timeout=60)
    message = out.stdout
    assert "libcybciconnect.so.2" in message, out.stderr
    assert str(tmp_path / "nowhere") in message and "system loader" in message
    assert "CALYRA_LIBRARY_PATH" in message
