#!/usr/bin/env bash
# Builds the three libFuzzer targets in a clang tree of their own and runs
# each for SECONDS (default 60) from its committed seed corpus:
#   scripts/fuzz.sh [SECONDS]
# Any finding (a crash, a sanitizer or verifier report, a broken invariant,
# a timeout, a leak) fails the script; the input is kept in
# build-fuzz/findings/<fuzzer>/. Inputs that found new coverage collect in
# build-fuzz/corpus/<fuzzer>/ and are reused by the next run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
dir="${VELNOR_FUZZ_DIR:-$root/build-fuzz}"
fuzzers=(fuzz_control fuzz_block_reader fuzz_configuration)

mkdir -p "$dir"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DVELNOR_FUZZ=ON -DVELNOR_WINDOWS_DRIVER=OFF > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
cmake --build "$dir" -j2 --target "${fuzzers[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/.ci/lsan.supp"
failed=0
for name in "${fuzzers[@]}"; do
  corpus="$dir/corpus/$name" findings="$dir/findings/$name"
  mkdir -p "$corpus" "$findings"
  echo "== $name: $seconds s"
  set +e
  "$dir/fuzz/$name" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "$root/fuzz/corpus/$name" > "$dir/$name.log" 2>&1
  rc=$?
  set -e
  grep -E "^#[0-9]+ +(DONE|INITED)|stat::number_of_executed_units|stat::peak_rss_mb" "$dir/$name.log" || true
  if [ $rc -ne 0 ] || [ -n "$(ls -A "$findings")" ]; then
    echo "$name: FINDING (exit $rc); log $dir/$name.log, inputs in $findings" >&2
    tail -n 60 "$dir/$name.log" >&2
    failed=1
  fi
done
exit $failed
