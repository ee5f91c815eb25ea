#!/usr/bin/env bash
# Starts Debian's vsmartcard vicc (an ISO 7816 card emulator) so that it connects to
# `zarq7 --card vicc` on 127.0.0.1:PORT (default 35963). Debian installs vicc's modules outside
# Python's path and has pycryptodome as Cryptodome where vicc imports Crypto; both are put right
# in a scratch folder.
#   scripts/vicc.sh & scripts/zarq7.sh --card vicc 00A4000C023F00
set -euo pipefail
port=${1:-35963}
scratch=$(mktemp -d /tmp/zarq7-vicc-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
ln -s /usr/lib/python3/dist-packages/Cryptodome "$scratch/Crypto"
PYTHONPATH=/usr/lib/python3/site-packages/virtualsmartcard:$scratch \
  /usr/bin/python3 /usr/bin/vicc --type iso7816 --hostname 127.0.0.1 --port "$port"
