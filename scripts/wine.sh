#!/usr/bin/env bash
# The real x64 image under a kernel nobody here wrote: Zarq7usb.sys in Wine (Debian's wine64),
# installed from Zarq7usb.inf by Wine's setupapi for a converter that the test bus
# (windows/testbus) imports from zarq7-usbip over USB/IP, beside SMCLIB.SYS, with an application
# doing everything through DeviceIoControl.
#
#   scripts/wine.sh [options] session APDU...   a card session (zarq7.exe, or the stand-in tool)
#   scripts/wine.sh [options] watch             card insertions and removals: the card is pulled
#                                               and put back through zarq7-usbip's control port
#   scripts/wine.sh [options] run ARGS...       zarq7.exe (or the stand-in) with ARGS as they are
#   scripts/wine.sh [options] start             plug-in, start, bring-up, the reader opened and
#                                               closed, unplug
# Every command ends with an unplug: the converter leaves zarq7-usbip, the driver's removal runs,
# and no reader interface may be left.
# Options: --trace (the relay's transfers and the kernel drivers' debug output on stderr),
#          --winedebug CHANNELS (Wine's own traces, as WINEDEBUG takes them, into the log),
#          --timeout SECONDS (the whole run; default 150).
# Wine's output goes to build-windows/wine-session.log. Installs wine64 and usbip when run as
# root (scripts/packages.sh), builds what it needs (the host's zarq7-usbip, the x64 checked
# image and the test bus), and makes a fresh Wine prefix under build-windows/wine each run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

trace=0
winedebug=
limit=150
while (($#)); do
  case $1 in
    --trace) trace=1 ;;
    --winedebug) winedebug=${2:?--winedebug needs channels}; shift ;;
    --timeout) limit=${2:?--timeout needs seconds}; shift ;;
    *) break ;;
  esac
  shift
done
command=${1:-}
[[ $command == session || $command == watch || $command == run || $command == start ]] || {
  echo "usage: scripts/wine.sh [--trace] [--winedebug CHANNELS] [--timeout S] session APDU... | watch | run ARGS... | start" >&2
  exit 2
}
shift

source scripts/packages.sh
install_packages wine64 usbip

# Builds, quietly: the USB/IP server on the host, the checked x64 image (its debug output is
# what shows the removal path) with the test bus, in a folder of its own (build-windows/x64 is the
# package's free build).
build_log=$(mktemp)
if ! { scripts/build.sh zarq7-usbip &&
  cmake -S . -B build-windows/wine-x64 -G Ninja --toolchain windows/toolchain-x64.cmake \
    -DCMAKE_BUILD_TYPE=Debug &&
  # The library's own SMCLIB.SYS and zarq7.exe too, where the build has them.
  optional=$(cmake --build build-windows/wine-x64 --target help |
    sed -n 's/^\(SMCLIB\|zarq7_exe\): .*/\1/p') &&
  cmake --build build-windows/wine-x64 --target Zarq7usb zarq7_testbus zarq7_testbus_relay \
    zarq7_testbus_tool zarq7_smclib_standin $optional; } >"$build_log" 2>&1; then
  cat "$build_log" >&2
  echo "wine.sh: build failed" >&2
  exit 1
fi
rm -f "$build_log"

wine=/usr/lib/wine/wine64 # the wine wrapper insists on a 32-bit Wine as well
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=$root/build-windows/wine WINEARCH=win64
export WINEDEBUG=-all,warn+debugstr${winedebug:+,$winedebug}
# A crashing process ends at once, its fault in the log: no debugger waits for a user.
export WINEDLLOVERRIDES=winedbg.exe=d
log=$root/build-windows/wine-session.log
x64=build-windows/wine-x64/windows
work=$(mktemp -d)
server=
relay=
cleanup() {
  [[ -n $relay ]] && kill "$relay" 2>/dev/null || true
  [[ -n $server ]] && kill "$server" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# The whole run is bounded: a hung driver or Wine ends in a failure, not a hang.
(sleep "$limit" && echo "wine.sh: no end after $limit s, stopped" >&2 && kill -TERM $$) &
watchdog=$!
trap 'kill $watchdog 2>/dev/null || true; cleanup' EXIT

step() { ((trace)) && echo "wine.sh: $*" >&2 || true; }

step "making the prefix"
"$wineserver" -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
"$wine" wineboot -i >"$log" 2>&1

drive=$WINEPREFIX/drive_c
mkdir -p "$drive/zarq7/bus" "$drive/zarq7/package/amd64" "$drive/zarq7/package/x86"
cp "$x64/testbus/zarq7-testbus.sys" "$x64/testbus/zarq7-testbus.inf" "$drive/zarq7/bus/"
cp "$x64/testbus/zarq7-relay.exe" "$x64/testbus/zarq7-tool.exe" "$drive/zarq7/"
cp windows/Zarq7usb.inf "$drive/zarq7/package/"
cp "$x64/Zarq7usb.sys" "$drive/zarq7/package/amd64/"
# Wine's fault: its setupapi ignores [SourceDisksNames.amd64] and copies from the x86 folder
# beside the INF, so the x64 image goes there too (in this copy of the package only).
cp "$x64/Zarq7usb.sys" "$drive/zarq7/package/x86/"
# The INF names its catalog; Wine verifies no signature but copies the file with the INF. The
# signed one when scripts/windows.sh has made it, else an empty stand-in.
if [[ -f build-windows/package/Zarq7usb.cat ]]; then
  cp build-windows/package/Zarq7usb.cat "$drive/zarq7/package/"
else
  : >"$drive/zarq7/package/Zarq7usb.cat"
fi
# The smart card library: its own image when the Windows build makes one, else the stand-in.
smclib=$x64/testbus/standin/SMCLIB.SYS
[[ $optional == *SMCLIB* ]] && smclib=$x64/SMCLIB.SYS
cp "$smclib" "$drive/windows/system32/drivers/SMCLIB.SYS"
# The application: zarq7.exe when the Windows build makes it, else the stand-in tool.
application=
[[ $optional == *zarq7_exe* ]] && application=build-windows/wine-x64/zarq7.exe
if [[ -n $application ]]; then
  cp "$application" "$drive/zarq7/zarq7.exe"
  application='C:\zarq7\zarq7.exe'
else
  application='C:\zarq7\zarq7-tool.exe'
fi

cd "$drive/zarq7"
step "installing the test bus"
"$wine" zarq7-tool.exe install-bus 'C:\zarq7\bus\zarq7-testbus.inf' >>"$log" 2>&1
step "staging Zarq7usb.inf"
"$wine" zarq7-tool.exe stage-driver 'C:\zarq7\package\Zarq7usb.inf' >>"$log" 2>&1
# Wine's fault: the freshly installed bus's service does not start in the session that installed
# it; the next session starts it with the root devices.
"$wineserver" -k
# One process holds the new session from here to the end: the drivers' host (winedevice) ends
# when the prefix's last process does, and with it the bus and the driver.
mkfifo "$work/hold.in"
"$wine" zarq7-tool.exe hold <"$work/hold.in" >>"$log" 2>&1 &
holder=$!
exec 5>"$work/hold.in"

step "starting zarq7-usbip"
usbip_options=()
((trace)) && usbip_options+=(--log)
"$root/build/tools/usbip/zarq7-usbip" "${usbip_options[@]}" --port 0 --control 0 >"$work/usbip.out" \
  2>"$work/usbip.err" &
server=$!
for _ in $(seq 100); do
  grep -q serving "$work/usbip.out" && break
  sleep 0.1
done
line=$(head -1 "$work/usbip.out")
port=$(sed -n 's/.* on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' <<<"$line")
control=$(sed -n 's/.*control on 127\.0\.0\.1:\([0-9]*\).*/\1/p' <<<"$line")
[[ -n $port && -n $control ]] || { cat "$work/usbip.err" >&2; echo "wine.sh: zarq7-usbip did not start" >&2; exit 1; }
control_command() {
  local answer
  exec 3<>"/dev/tcp/127.0.0.1/$control"
  echo "$1" >&3
  read -r -t 10 answer <&3 || answer="(no answer)"
  exec 3<&-
  [[ $answer == ok* ]] || { echo "wine.sh: zarq7-usbip's control: $1: $answer" >&2; return 1; }
}

# The relay imports the converter and keeps running: while it does, so does the prefix's
# winedevice (it ends with the prefix's last process). Its commands come through a pipe.
step "importing 1-1 through the relay"
mkfifo "$work/relay.in"
relay_options=()
((trace)) && relay_options+=(--trace)
"$wine" zarq7-relay.exe "${relay_options[@]}" 127.0.0.1 "$port" 1-1 <"$work/relay.in" >>"$log" 2>&1 5>&- &
relay=$!
exec 4>"$work/relay.in"
"$wine" zarq7-tool.exe wait-reader 30 >>"$log" 2>&1 || {
  echo "wine.sh: no reader appeared; see $log" >&2
  exit 1
}

status=0
case $command in
  session) "$wine" "$application" session "$@" || status=$? ;;
  run) "$wine" "$application" "$@" || status=$? ;;
  start)
    sleep 5 # the bring-up's traffic
    "$wine" zarq7-tool.exe open || status=$?
    ;;
  watch)
    "$wine" "$application" watch 4>&- 5>&- &
    watcher=$!
    sleep 3
    step "card out"
    control_command "card out 1-1"
    sleep 3
    step "card in"
    control_command "card in 1-1"
    sleep 3
    kill "$watcher" 2>/dev/null || true
    wait "$watcher" 2>/dev/null || true
    ;;
esac

step "unplugging"
control_command "unplug 1-1" || echo "unplug 0" >&4
"$wine" zarq7-tool.exe wait-gone 20 >>"$log" 2>&1 || status=1
# Waits a little for a process to end by itself, then ends it.
end_process() {
  for _ in $(seq 50); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.2
  done
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
echo quit >&4
exec 4>&-
end_process "$relay"
relay=
exec 5>&-
end_process "$holder"

# The kernel drivers' debug output, from Wine's log.
debug_lines() { sed -n 's/.*vDbgPrintExWithPrefix [0-9a-f]*:[0-9a-f]*: //p' "$log"; }
if ((trace)); then
  debug_lines | sed 's/^/debug: /' >&2
  grep '^relay ' "$log" >&2 || true
  # zarq7-usbip's own view of every URB and answer, beside Wine's log.
  cp "$work/usbip.err" "$root/build-windows/usbip.log"
fi
if ! grep -q "no reader interface left" "$log"; then
  echo "wine.sh: the reader was not removed; see $log" >&2
  status=1
fi
exit "$status"
