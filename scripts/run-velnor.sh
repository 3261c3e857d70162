#!/usr/bin/env bash
# The main job: builds, then loads the driver on the host kernel and shows
# its log. Arguments go to velnor-host (try --debug-level 5).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build" > /dev/null
exec "$root/build/velnor-host" "$@"
