#!/usr/bin/env bash
# Runs Debian's vsmartcard vicc (an ISO 7816 card emulator) so that it connects to
# `zarq7 --card vicc` on 127.0.0.1:PORT (default 35963). vicc gives up at once, quietly, when
# nothing listens yet, so it is started again every half second until it is stopped: zarq7 may
# come later (after its build) and several sessions may follow one another.
# Debian installs vicc's modules outside Python's path and has pycryptodome as Cryptodome where
# vicc imports Crypto; both are put right in a scratch folder.
#   scripts/vicc.sh [PORT] &
set -euo pipefail
port=${1:-35963}
for f in /usr/bin/vicc /usr/lib/python3/dist-packages/Cryptodome; do
  [[ -e $f ]] || { echo "vicc.sh: $f is missing (Debian packages vsmartcard-vpicc, python3-pycryptodome)" >&2; exit 1; }
done
scratch=$(mktemp -d /tmp/zarq7-vicc-XXXXXX)
child=
trap 'rm -rf "$scratch"; [[ -n $child ]] && kill "$child" 2>/dev/null; exit 0' EXIT INT TERM
ln -s /usr/lib/python3/dist-packages/Cryptodome "$scratch/Crypto"
while true; do
  PYTHONPATH=/usr/lib/python3/site-packages/virtualsmartcard:$scratch \
    /usr/bin/python3 /usr/bin/vicc --type iso7816 --hostname 127.0.0.1 --port "$port" \
    </dev/null &
  child=$!
  wait "$child" || true
  child=
  sleep 0.5
done
