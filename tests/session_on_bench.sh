#!/usr/bin/env bash
# velnor-session on the host's test bench (VELNOR_BENCH=1) gets what
# velnor-replay computes from the same packets: blocks, keys and OUT packets,
# in both of its runs around an unplug. scripts/run-wine.sh runs the same
# client under Wine and compares the two.
#   session_on_bench.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$src/scripts/make-packets.py" "$work/session.bin" 2000 keys
VELNOR_BENCH=1 "$build/velnor-session" "$work/session.bin" "$work/host" 10
"$src/scripts/compare-session.sh" "$build" "$work" "$work/session.bin" "$work/host"
