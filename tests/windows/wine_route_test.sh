#!/usr/bin/env bash
# The Wine route, plug-in to unplug: Wine's setupapi installs Zarq7usb.sys from its INF for the
# converter the test bus imports from zarq7-usbip; winedevice loads it beside SMCLIB.SYS; the start
# reaches the converter over USB/IP (descriptors, configuration, the converter's requests, a
# write); zarq7.exe's card session gets the host's reader line, ATR, T=1 and 90 00 answers; the
# unplug ends in the driver's removal with no reader interface left. About a minute of real time.
# Skips (77) without wine64 or MinGW-w64.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [[ ! -x /usr/lib/wine/wine64 ]] || ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "skipped: needs Debian's wine64 and g++-mingw-w64-x86-64"
  exit 77
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
if ! scripts/wine.sh --trace --timeout 200 session 00A4000C023F00 80F00010 >"$out" 2>&1; then
  cat "$out"
  echo "scripts/wine.sh session failed" >&2
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
expect "^reader: ZARIK Systems Z7 Ira DUR, version 0.92 build 61, unit 0, line 9600 bit/s" \
  "the reader line"
expect "^ATR: 3B 93 11 80 31 FE 45 80 31 C0 F9" "the card's ATR"
expect "^protocol: T=1" "T=1 selected"
expect "^< 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F" "the card's answer"
[[ $(grep -c "^< 90 00  success" "$out") == 2 ]] || { cat "$out"; echo "missing: two 90 00" >&2; exit 1; }
expect "debug: 'Zarq7usb.sys: entering ZarUSBSerConv_Close" "the driver's close"
expect "debug: zarq7-testbus: child 0 surprise removal" "the surprise removal"
expect "debug: zarq7-testbus: child 0 deleted" "the removal down to the bus"
echo ok
