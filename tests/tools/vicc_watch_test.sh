#!/usr/bin/env bash
# The live watch, run as a person would: zarq7 watch --card vicc listens, Debian's vicc connects
# (the card goes in) and is stopped (the card comes out), and Ctrl-C ends the watch; all of it
# shows. Skips (exit 77) when the emulator's packages are missing.
#   vicc_watch_test.sh ZARQ7_BINARY PORT
set -uo pipefail
cd "$(dirname "$0")/../.."
[[ -x /usr/bin/vicc && -d /usr/lib/python3/dist-packages/Cryptodome ]] || {
  echo "skipped: vsmartcard-vpicc or python3-pycryptodome not installed"
  exit 77
}
log=$(mktemp)
vicc_pid=
watch_pid=
trap 'rm -f "$log"; for p in $vicc_pid $watch_pid; do kill "$p" 2>/dev/null; done' EXIT
"$1" watch --card vicc --vicc-port "$2" --for 120 >"$log" 2>&1 &
watch_pid=$!
# Waits at most $2 tenths of a second for a line matching $1 in the watch's output.
seen() {
  for _ in $(seq "$2"); do
    grep -q "$1" "$log" && return 0
    sleep 0.1
  done
  return 1
}
# The emulator comes once the watch has seen the empty slot, and goes once it has seen the card.
seen '\] no card$' 100 || { cat "$log"; echo "the watch did not start"; exit 1; }
scripts/vicc.sh "$2" >/dev/null 2>&1 &
vicc_pid=$!
seen '\] card inserted$' 300 || { cat "$log"; echo "the emulator's arrival was not seen"; exit 1; }
kill "$vicc_pid"
wait "$vicc_pid" 2>/dev/null
vicc_pid=
seen '\] card removed$' 100 || { cat "$log"; echo "the emulator's departure was not seen"; exit 1; }
kill -INT "$watch_pid"
wait "$watch_pid"
code=$?
watch_pid=
cat "$log"
[[ $code -eq 0 ]] || { echo "zarq7 watch exited $code"; exit 1; }
grep -q '\] interrupted$' "$log" || { echo "Ctrl-C did not end the watch in order"; exit 1; }
