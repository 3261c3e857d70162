#!/usr/bin/env bash
# Installs the Debian 12 packages the build and tests need (skips what is there).
# Another install holding the package manager's lock (a fresh machine's
# boot-time install, say) is waited for, up to ten minutes, not failed on.
set -euo pipefail
packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libedf-dev libcli11-dev libcairo2-dev
          g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
          clang libfuzzer-14-dev libclang-rt-14-dev python3-mne)
# VELNOR_WINE=1: also Wine, which runs velnor.sys (scripts/run-wine.sh).
[ "${VELNOR_WINE:-0}" = 1 ] && packages+=(wine64 wine python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# Runs apt-get, trying again while another process holds one of its locks.
apt_wait() {
  local deadline=$((SECONDS + 600)) out rc
  while :; do
    set +e
    out="$($sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=60 "$@" 2>&1)"
    rc=$?
    set -e
    if [ $rc -eq 0 ]; then return 0; fi
    if grep -qiE "could not get lock|unable to lock|is another process using it" <<<"$out" && [ $SECONDS -lt $deadline ]; then
      echo "install-deps: the package manager is busy; waiting" >&2
      sleep 5
      continue
    fi
    echo "$out" >&2
    return $rc
  done
}

apt_wait update -qq
apt_wait install -y -qq --no-install-recommends "${missing[@]}"
