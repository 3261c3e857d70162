#!/usr/bin/env bash
# Builds the host tree and velnor.sys, then runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
cd "$root/build"
ctest -j2 --output-on-failure --timeout 300
