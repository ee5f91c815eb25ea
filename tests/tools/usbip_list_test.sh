#!/usr/bin/env bash
# Debian's usbip lists zarq7-usbip's converter with its VID/PID and interface, as a Linux machine
# about to attach it would see it; then the control port ends the server. Skips (77) without the
# usbip package.
set -euo pipefail
server=$1
if ! command -v usbip >/dev/null; then
  echo "skipped: Debian's usbip is not installed (apt-get install usbip)"
  exit 77
fi
work=$(mktemp -d)
pid=
cleanup() {
  [[ -n $pid ]] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
"$server" --port 0 --control 0 >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 100); do
  grep -q "serving" "$work/out" && break
  sleep 0.1
done
line=$(head -1 "$work/out")
port=$(sed -n 's/.* on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' <<<"$line")
control=$(sed -n 's/.*control on 127\.0\.0\.1:\([0-9]*\).*/\1/p' <<<"$line")
[[ -n $port && -n $control ]] || { echo "no ports in: $line" >&2; cat "$work/err" >&2; exit 1; }

usbip --tcp-port "$port" list -r 127.0.0.1 >"$work/list" 2>"$work/list.err"
cat "$work/list"
grep -q "1-1: .*(f7a5:0c01)" "$work/list" || { echo "no 1-1 f7a5:0c01 listed" >&2; exit 1; }
grep -q "0 - Vendor Specific Class" "$work/list" || { echo "no interface 0 listed" >&2; exit 1; }

exec 3<>"/dev/tcp/127.0.0.1/$control"
echo quit >&3
read -r -t 10 answer <&3
[[ $answer == ok ]] || { echo "quit answered: $answer" >&2; exit 1; }
exec 3<&-
for _ in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "zarq7-usbip did not end on quit" >&2
  exit 1
fi
wait "$pid"
pid=
echo "ok"
