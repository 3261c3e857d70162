#!/usr/bin/env bash
# Runs the test suite, the AddressSanitizer + UndefinedBehaviorSanitizer
# suite and the ThreadSanitizer concurrency tests N times in a row while
# stress-ng keeps every core busy, and stops at the first failure. The trees
# must already be built (.ci/run builds all three).
#   scripts/soak.sh [N]        (default 20; needs stress-ng)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
n="${1:-20}"
command -v stress-ng >/dev/null || { echo "soak: stress-ng is not installed" >&2; exit 2; }
stress-ng --cpu "$(nproc)" --timeout 0 --quiet &
load=$!
trap 'kill $load 2>/dev/null; wait $load 2>/dev/null' EXIT
for i in $(seq 1 "$n"); do
  start=$SECONDS
  (cd "$root/build" && ctest -j2 --timeout 300 > "$root/build/soak-$i.log" 2>&1) || { echo "soak: run $i: suite failed (build/soak-$i.log)"; exit 1; }
  (cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 ctest -j2 --timeout 600 > "$root/build-asan/soak-$i.log" 2>&1) \
    || { echo "soak: run $i: ASan suite failed (build-asan/soak-$i.log)"; exit 1; }
  (cd "$root/build-tsan" && TSAN_OPTIONS="halt_on_error=1 history_size=7 suppressions=$root/.ci/tsan.supp" \
    ctest -j2 -L concurrency --timeout 600 > "$root/build-tsan/soak-$i.log" 2>&1) \
    || { echo "soak: run $i: TSan suite failed (build-tsan/soak-$i.log)"; exit 1; }
  echo "soak: run $i of $n green in $((SECONDS - start)) s"
done
