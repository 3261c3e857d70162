#!/usr/bin/env bash
# Runs velnor.sys under Wine: a fresh prefix, the simulated USB bus
# (velnorsimbus.sys) installed as a root device, velnor.inf matched to the
# module the bus reports, then velnor-ctl talks to the driver and
# velnor-session runs an application's session through the SDK twice, the
# module unplugged and plugged in between. Its blocks, keys and the OUT
# packets the module received are compared with the same client's on the
# host build (the host's bench in place of the bus) and with velnor-replay's,
# on the same packets and settings.
#   scripts/run-wine.sh [BUILD_DIR] [OUT_DIR]
# BUILD_DIR is a host build tree with the Windows build in BUILD_DIR/windows
# (scripts/build.sh makes both). OUT_DIR (default BUILD_DIR/wine-run) keeps
# the driver's log (driver.log) and every step's output (run.log).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
out="${2:-$build/wine-run}"
win="$build/windows"
for f in "$win/driver/velnor.sys" "$win/simulator/windows/velnorsimbus.sys" "$win/simulator/windows/velnor-setup.exe" \
         "$win/simulator/windows/velnor-simbus.exe" "$win/simulator/windows/velnor-session.exe" \
         "$build/windows-apps/velnor-ctl.exe" "$build/velnor-replay" "$build/velnor-session"; do
  [ -f "$f" ] || { echo "run-wine: $f is missing; build first" >&2; exit 1; }
done
command -v wine >/dev/null || { echo "run-wine: wine is not installed" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out"
export WINEPREFIX="$out/prefix" WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
start=$SECONDS
log="$out/run.log"
step() { echo "== $*" | tee -a "$log"; }
run() { echo "\$ $*" >> "$log"; "$@" 2>&1 | tr -d '\r' | tee -a "$log"; return "${PIPESTATUS[0]}"; }

step "prefix"
wine wineboot -i >/dev/null 2>&1
wineserver -w
wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null 2>&1   # the INF is for Windows 10
wineserver -w
stage="$WINEPREFIX/drive_c/velnor"
mkdir -p "$stage"
# Wine 8's setupapi looks a decorated models section up as
# [Models.NTamd64] whatever OS version the decoration names, so the copy
# installed here has the Windows 10 section under that name; the INF itself
# is checked as it is.
sed 's/^\[Velnor\.NTamd64\.10\.0\]/[Velnor.NTamd64]/' "$root/driver/velnor.inf" > "$stage/velnor-wine.inf"
cp "$root/driver/velnor.inf" "$stage/"
cp "$win/driver/velnor.sys" "$win/simulator/windows/velnorsimbus.sys" \
   "$root/simulator/windows/velnorsimbus.inf" "$win/simulator/windows/velnor-setup.exe" \
   "$win/simulator/windows/velnor-simbus.exe" "$win/simulator/windows/velnor-session.exe" \
   "$build/windows-apps/velnor-ctl.exe" "$stage/"
# The packages name catalogs (signed ones on Windows, see docs/windows-driver.md);
# Wine copies them and verifies no signature, so empty ones stand in.
: > "$stage/velnor.cat"
: > "$stage/velnorsimbus.cat"
python3 "$root/scripts/make-packets.py" "$stage/packets.bin" 4000
python3 "$root/scripts/make-packets.py" "$stage/session.bin" 2000 keys
echo "prefix ready after $((SECONDS - start)) s" >> "$log"

# The first command of the prefix's life starts services.exe and the device
# host; their stderr (where Wine prints DbgPrint) is the driver log.
wineserver -p
trap 'wineserver -k || true' EXIT
WINEDEBUG=${VELNOR_WINE_DEBUG:--all,warn+debugstr,err+all,fixme+ntoskrnl,fixme+plugplay,fixme+usbd} \
  wine cmd /c echo >/dev/null 2>"$out/driver.log"
W() { run wine "C:\\velnor\\$1" "${@:2}"; }

step "check the INF through the setup API"
W velnor-setup.exe check 'C:\velnor\velnor.inf' 'USB\VID_1209&PID_7E1A' velnor
step "install velnor.inf, then the bus as a root device"
W velnor-setup.exe add-driver 'C:\velnor\velnor-wine.inf'
W velnor-setup.exe add-root-device 'C:\velnor\velnorsimbus.inf' 'ROOT\VELNORSIMBUS'
W velnor-simbus.exe status
W velnor-simbus.exe wait
step "velnor-ctl info"
W velnor-ctl.exe info
run wine reg query 'HKLM\System\CurrentControlSet\Services\velnor' /v DebugLevel
step "a block from the packet file"
W velnor-simbus.exe load 'C:\velnor\packets.bin'
W velnor-ctl.exe block --samples 20 --channels 7
W velnor-simbus.exe status
step "an application session through the SDK, twice, unplugged and plugged in between"
W velnor-session.exe 'C:\velnor\session.bin' 'C:\velnor\session' 10
W velnor-simbus.exe status
W velnor-ctl.exe info
wine 'C:\velnor\velnor-session.exe' settings 2>/dev/null | tr -d '\r' > "$out/settings"
wineserver -k || true
wineserver -w || true
trap - EXIT

# What the run must show.
failed=0
expect() {  # FILE COUNT PATTERN: PATTERN occurs COUNT times in FILE
  local n
  n=$(grep -c -- "$3" "$1" || true)
  if [ "$n" -ne "$2" ]; then echo "run-wine: expected $2 x '$3' in $(basename "$1"), found $n" | tee -a "$log"; failed=1; fi
}
expect "$log" 1 'installs USB\\VID_1209&PID_7E1A with service velnor'
expect "$log" 1 'DebugLevel    REG_DWORD    0x2'
# The driver stays loaded while its device is gone (Wine unloads no driver).
expect "$out/driver.log" 1 'Velnor.sys Build:'
expect "$out/driver.log" 2 'Velnor_DispatchPnp: IRP_MN_START_DEVICE$'
expect "$out/driver.log" 1 'Velnor_DispatchPnp: IRP_MN_SURPRISE_REMOVAL$'
# The session's open after the unplug is refused (the driver refuses opens
# while its device is not started), and an open that reaches the old device
# object during the replug has its requests refused by the remove lock.
# Nothing else is an error.
grep 'ERROR:' "$out/driver.log" | grep -v -e 'LockDevice() - removing$' -e 'Velnor_ProcessIOCTL() - device not locked$' \
  -e 'Velnor_Create() - Device not started$' > "$out/errors" || true
# (Whether the driver or the I/O manager refuses them depends on how far the
# removal has got; velnor-session checks that a new open is refused.)
expect "$out/errors" 0 'ERROR:'
expect "$log" 2 '^driver version [0-9]'
expect "$log" 1 'electrode status 0x0000, packet status 0x0000$'
expect "$log" 1 '^  row  0: 16384 16385 16386'
expect "$log" 1 '^velnor-session: 2 runs of 10 block'
# The same client built for the host (the host's bench, VELNOR_BENCH=1) on
# the same packets and settings: its blocks and keys equal Wine's byte for
# byte; both equal velnor-replay's, and the OUT slots of every run hold
# velnor-replay's output packets (only how often the packets before and
# after the input repeat depends on timing; compare-out.py prints it).
run "$build/velnor-session" settings > "$out/host-settings" || failed=1
run cmp "$out/host-settings" "$out/settings" || failed=1
cp "$stage/session.bin" "$out/"
for r in 1 2; do
  for k in blk keys out; do cp "$stage/session-$r.$k" "$out/wine-$r.$k"; done
done
run env VELNOR_BENCH=1 "$build/velnor-session" "$out/session.bin" "$out/host" 10 || failed=1
for r in 1 2; do
  if run cmp "$out/host-$r.blk" "$out/wine-$r.blk" && run cmp "$out/host-$r.keys" "$out/wine-$r.keys"; then
    echo "run-wine: run $r: blocks and keys equal to the host build's" | tee -a "$log"
  else failed=1; fi
done
run "$root/scripts/compare-session.sh" "$build" "$out" "$out/session.bin" "$out/wine" "$out/host" || failed=1
# And the two builds' OUT records with each other: the same slots, byte for
# byte, up to the end of the shorter; only how long the session ran on after
# the input (the stop's timing) may differ.
for r in 1 2; do
  w=$(stat -c %s "$out/wine-$r.out") h=$(stat -c %s "$out/host-$r.out")
  if run cmp -n "$((w < h ? w : h))" "$out/wine-$r.out" "$out/host-$r.out"; then
    echo "run-wine: run $r: OUT slots equal to the host build's ($((w / 18)) under Wine, $((h / 18)) on the host)" | tee -a "$log"
  else failed=1; fi
done
[ $failed -eq 0 ] || { echo "run-wine: FAILED" | tee -a "$log"; exit 1; }
echo "run-wine: done in $((SECONDS - start)) s; driver log: $out/driver.log" | tee -a "$log"
