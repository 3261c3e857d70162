#!/usr/bin/python3
"""velnor-acq's EDF+ files as an independent reader (MNE-Python) sees them.

Records from the simulated module at each rate and checks labels, units,
rate, duration, annotations and the signal's size, then a recording cut
short by Ctrl-C and one cut short by an unplug: each file must still read
back, with the message given.
"""
import os
import signal
import subprocess
import sys
import tempfile

import mne

ACQ = sys.argv[1]
LEADS = ["ECG " + n for n in ["I", "II", "III", "aVR", "aVL", "aVF", "V1", "V2", "V3", "V4", "V5", "V6"]]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def record(path, seconds, rate, sim, extra=()):
    return subprocess.run([ACQ, "record", "-o", path, "-d", str(seconds), "--rate", str(rate), *sim, *extra],
                          capture_output=True, text=True, timeout=300)


with tempfile.TemporaryDirectory() as tmp:
    for rate in (2000, 1000, 500, 200):
        path = os.path.join(tmp, f"r{rate}.edf")
        run = record(path, 4, rate, ["--sim-heart-rate", "72", "--sim-seed", "3"], ["--patient", "Test Patient", "--frank"])
        check(run.returncode == 0, f"{rate} Hz: exit {run.returncode}: {run.stderr}")
        raw = mne.io.read_raw_edf(path, preload=True, verbose=False)
        check(raw.ch_names == LEADS + ["ECG H", "ECG E", "ECG Frank I", "ECG M"], f"{rate} Hz: labels {raw.ch_names}")
        check(raw.info["sfreq"] == rate, f"{rate} Hz: rate {raw.info['sfreq']}")
        check(raw.n_times == 4 * rate, f"{rate} Hz: {raw.n_times} samples, not {4 * rate}")
        check(set(raw._orig_units.values()) == {"µV"}, f"{rate} Hz: units {set(raw._orig_units.values())}")
        descriptions = list(raw.annotations.description)
        check(any(d.startswith("Settings: %d S/s" % rate) for d in descriptions),
              f"{rate} Hz: no settings annotation in {descriptions[:3]}")
        # 72 bpm for 4 s: 4 or 5 beats, each marked once, the first after the detector settled.
        r = sorted(o for o, d in zip(raw.annotations.onset, descriptions) if d == "R")
        check(4 <= len(r) <= 5 and all(0.75 < b - a < 0.92 for a, b in zip(r, r[1:])), f"{rate} Hz: R at {r}")
        # Lead II of the simulated beat: some hundreds of µV to a few mV (MNE gives volts).
        span = raw.get_data(picks=["ECG II"]).ptp()
        check(3e-4 < span < 5e-3, f"{rate} Hz: lead II spans {span} V")
        # Einthoven's law holds in the file: I + III = II within a count of the file.
        d = raw.get_data(picks=["ECG I", "ECG II", "ECG III"])
        check(abs(d[0] + d[2] - d[1]).max() < 30e-6, f"{rate} Hz: I + III - II up to {abs(d[0] + d[2] - d[1]).max()} V")

    # Ctrl-C mid-record: the program says so and the file reads back whole.
    path = os.path.join(tmp, "interrupted.edf")
    proc = subprocess.Popen([ACQ, "record", "-o", path, "-d", "3600", "--sim-heart-rate", "72"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    first = proc.stdout.readline()  # the first status line: recording has begun
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=300)
    check(proc.returncode == 0 and "stopped by Ctrl-C" in out, f"Ctrl-C: exit {proc.returncode}, {out[-200:]} {err}")
    raw = mne.io.read_raw_edf(path, preload=True, verbose=False)
    check(raw.ch_names == LEADS and 0 < raw.n_times < 3600 * 1000 and raw.n_times % 100 == 0,
          f"Ctrl-C: {raw.ch_names}, {raw.n_times} samples")

    # An unplug mid-record: a clear message, a non-zero exit, and the file up to it reads back.
    path = os.path.join(tmp, "unplugged.edf")
    run = record(path, 5, 2000, ["--sim-heart-rate", "60", "--sim-unplug-at", "2"])
    check(run.returncode != 0 and "unplugged" in run.stderr and "saved" in run.stderr,
          f"unplug: exit {run.returncode}, {run.stderr}")
    raw = mne.io.read_raw_edf(path, preload=True, verbose=False)
    check(raw.ch_names == LEADS and 2 * 2000 <= raw.n_times < 5 * 2000, f"unplug: {raw.n_times} samples")
    check("Timeout" in raw.annotations.description, f"unplug: no timeout annotation in {set(raw.annotations.description)}")

print("ok" if not failures else f"{len(failures)} failure(s)")
sys.exit(1 if failures else 0)
