#!/usr/bin/env bash
# The main job: builds, records 10 s of a 12-lead ECG from the simulated
# module to ecg.edf (EDF+), then prints the 12-lead report to report.pdf.
# Arguments go to `velnor-acq record` (try --rate 500 --sim-paced --paced-patient).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build" > /dev/null
"$root/build/velnor-acq" record -o ecg.edf -d 10 "$@"
"$root/build/velnor-acq" print ecg.edf -o report.pdf
