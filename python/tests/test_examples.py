"""The Python examples run on virtual headsets and print what they promise."""

import os
import subprocess
import sys

import pytest

_REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_EXAMPLES = os.path.join(_REPO, "examples", "python")


def _run(args, cwd):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.join(_REPO, "python"),
                                                      env.get("PYTHONPATH")]))
    out = subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_quickstart_streams_ten_seconds_into_mne(tmp_path):
    out = _run([os.path.join(_EXAMPLES, "quickstart.py")], tmp_path)
    assert "RawArray | 8 x 2500 (10.0 s)" in out  # 4 electrodes and their contact flags


def test_live_quality_prints_a_grade_per_electrode_each_second(tmp_path):
    out = _run([os.path.join(_EXAMPLES, "live_quality.py"), "--seconds", "2", "--notch", "50"],
               tmp_path)
    lines = [line for line in out.splitlines() if " s  E1 " in line]
    assert len(lines) == 2 and lines[-1].endswith("E4 good")


def test_record_fif_writes_a_file_mne_reads(tmp_path):
    mne = pytest.importorskip("mne")
    path = tmp_path / "rec_raw.fif"
    _run([os.path.join(_EXAMPLES, "record_fif.py"), str(path), "--seconds", "1", "--rate", "500"],
         tmp_path)
    raw = mne.io.read_raw_fif(path, verbose=False)
    assert raw.n_times == 500 and raw.info["sfreq"] == 500
