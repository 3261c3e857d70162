#!/usr/bin/env bash
# Compares the records of velnor-session's two runs (PREFIX-1 and PREFIX-2:
# .blk, .keys, .out) with velnor-replay's on the same packet file and the
# session's settings: blocks and key entries byte for byte, the OUT slots
# through compare-out.py (which prints the counts that depend on timing).
#   scripts/compare-session.sh BUILD_DIR WORK_DIR PACKETS PREFIX [PREFIX...]
# BUILD_DIR is a host build tree; velnor-replay's files are left in WORK_DIR.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build=$1 work=$2 packets=$3
shift 3
settings=$("$build/velnor-session" settings)
common=$(sed -n 1p <<<"$settings")
blocks=$(sed -n 2p <<<"$settings")
# shellcheck disable=SC2086  # the options are words
"$build/velnor-replay" blocks "$packets" "$work/replay.blk" "$work/replay.keys" $common $blocks
# shellcheck disable=SC2086
"$build/velnor-replay" out "$packets" "$work/replay.out" --n 5 --runs 2 $common
# An application sees key entries only (the SDK drops the rest).
python3 "$root/scripts/key-entries.py" "$work/replay.keys" "$work/replay-key-entries.keys"
count=$(($(stat -c %s "$packets") / 34))
failed=0
for prefix; do
  for r in 1 2; do
    if cmp "$work/replay.blk" "$prefix-$r.blk" && cmp "$work/replay-key-entries.keys" "$prefix-$r.keys"; then
      echo "compare-session: $(basename "$prefix")-$r: blocks and keys equal to velnor-replay's"
    else failed=1; fi
  done
  # The session's OUT stream: 5 packets of 16 bytes per transfer, 4 transfers.
  python3 "$root/scripts/compare-out.py" "$work/replay.out" 5 4 16 "$count" "$prefix-1.out" "$prefix-2.out" || failed=1
done
exit $failed
