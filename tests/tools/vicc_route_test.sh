#!/usr/bin/env bash
# The documented vicc route in one command: scripts/zarq7.sh --card vicc starts Debian's vicc,
# which connects to the session; SELECT of the master file is answered 90 00. Skips (exit 77)
# when the emulator's packages are missing.
#   vicc_route_test.sh ZARQ7_BINARY PORT
set -uo pipefail
cd "$(dirname "$0")/../.."
[[ -x /usr/bin/vicc && -d /usr/lib/python3/dist-packages/Cryptodome ]] || {
  echo "skipped: vsmartcard-vpicc or python3-pycryptodome not installed"
  exit 77
}
out=$(ZARQ7=$1 timeout 120 scripts/zarq7.sh --card vicc --vicc-port "$2" 00A4000C023F00 2>&1)
code=$?
echo "$out"
[[ $code -eq 0 ]] || { echo "zarq7 exited $code"; exit 1; }
grep -q '^< 90 00  success$' <<<"$out" || { echo "no 90 00 for SELECT"; exit 1; }
# No emulator is left behind.
sleep 0.6
if pgrep -f "vicc --type iso7816 --hostname 127.0.0.1 --port $2\$" >/dev/null; then
  echo "vicc still running after the session"
  exit 1
fi
