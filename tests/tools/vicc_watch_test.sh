#!/usr/bin/env bash
# The live watch, run as a person would: zarq7 watch --card vicc listens, Debian's vicc connects
# (the card goes in) and is stopped (the card comes out); both show. Skips (exit 77) when the
# emulator's packages are missing.
#   vicc_watch_test.sh ZARQ7_BINARY PORT
set -uo pipefail
cd "$(dirname "$0")/../.."
[[ -x /usr/bin/vicc && -d /usr/lib/python3/dist-packages/Cryptodome ]] || {
  echo "skipped: vsmartcard-vpicc or python3-pycryptodome not installed"
  exit 77
}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$1" watch --card vicc --vicc-port "$2" --for 10 >"$log" 2>&1 &
watch_pid=$!
sleep 1
scripts/vicc.sh "$2" >/dev/null 2>&1 &
vicc_pid=$!
sleep 4
kill "$vicc_pid"
wait "$vicc_pid" 2>/dev/null
wait "$watch_pid"
code=$?
cat "$log"
[[ $code -eq 0 ]] || { echo "zarq7 watch exited $code"; exit 1; }
grep -q '\] card inserted$' "$log" || { echo "the emulator's arrival was not seen"; exit 1; }
grep -q '\] card removed$' "$log" || { echo "the emulator's departure was not seen"; exit 1; }
grep -m1 -E '\] card (inserted|removed)$' "$log" | grep -q inserted ||
  { echo "the removal came before the insertion"; exit 1; }
