#!/usr/bin/env bash
# Builds the zarq7 tool (installing what is missing, see build.sh) and runs it with the
# arguments given: a card session against the simulated reader. scripts/zarq7.sh --help
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh zarq7 >&2
exec build/tools/zarq7 "$@"
