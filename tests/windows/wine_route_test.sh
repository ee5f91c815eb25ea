#!/usr/bin/env bash
# The Wine route, start to unplug: Wine's setupapi installs Zarq7usb.sys from its INF for the
# converter the test bus imports from zarq7-usbip; winedevice loads it beside SMCLIB.SYS; the start
# reaches the converter over USB/IP (descriptors, configuration, the converter's requests, a
# write); the reader's interface appears and the reader opens and closes; the unplug ends in the driver's removal with no reader
# interface left. About a minute and a half of real time. Skips (77) without wine64 or MinGW-w64.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [[ ! -x /usr/lib/wine/wine64 ]] || ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "skipped: needs Debian's wine64 and g++-mingw-w64-x86-64"
  exit 77
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
if ! scripts/wine.sh --trace --timeout 200 start >"$out" 2>&1; then
  cat "$out"
  echo "scripts/wine.sh start failed" >&2
  exit 1
fi
expect() {
  grep -q -- "$1" "$out" || { cat "$out"; echo "missing: $2" >&2; exit 1; }
}
expect "debug: zarq7-testbus: child 0 plugged in: USB.VID_F7A5&PID_0C01" "the converter as the bus's child"
expect "debug: zarq7-testbus: child 0 started" "the start passed down to the bus"
expect "relay 1-1 #[0-9]* ep 0 in len 18 setup 80 06 00 01 00 00 12 00" "the device descriptor read"
expect "relay 1-1 #[0-9]* ep 0 out len 0 setup 00 09 01 00" "configuration 1 selected"
expect "relay 1-1 #[0-9]* ep 0 .* setup C2 10" "the converter's status read (vendor request)"
expect "relay 1-1 #[0-9]* ep 2 out len" "a write on the OUT pipe"
expect "ReadUSBThread" "the reading thread"
expect "reader opened and closed" "the reader opened"
expect "debug: 'Zarq7usb.sys: entering ZarUSBSerConv_Close" "the driver's close"
expect "debug: zarq7-testbus: child 0 surprise removal" "the surprise removal"
expect "debug: zarq7-testbus: child 0 deleted" "the removal down to the bus"
echo ok
