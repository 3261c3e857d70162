#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh [DIR] [extra cmake args...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build}"
shift || true
mkdir -p "$dir"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$dir/configure.log" 2>&1 \
  || { cat "$dir/configure.log"; exit 1; }
cmake --build "$dir" -j2
