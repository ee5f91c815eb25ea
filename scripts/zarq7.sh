#!/usr/bin/env bash
# Builds the zarq7 tool (installing what is missing, see build.sh; a line on stderr says when it
# is a first build, the build's output only when it fails) and runs it with the
# arguments given: an application on a simulated machine with the driver. scripts/zarq7.sh --help
# For a session with --card vicc it also starts Debian's vicc emulator (scripts/vicc.sh) on the
# same port, and stops it afterwards; a watch leaves the emulator to the person watching.
# ZARQ7=path runs that zarq7 binary instead of building one.
set -euo pipefail
cd "$(dirname "$0")/.."
zarq7=${ZARQ7:-}
if [[ -z $zarq7 ]]; then
  source scripts/build_quietly.sh
  build_quietly zarq7.sh tools/zarq7 zarq7
  zarq7=$(scripts/build_folder.sh)/tools/zarq7
fi

vicc=false
port=35963
args=("$@")
[[ ${args[0]:-} == watch ]] && exec "$zarq7" "$@"
for ((i = 0; i < ${#args[@]}; ++i)); do
  case ${args[i]} in
    --card) [[ ${args[i + 1]:-} == vicc ]] && vicc=true ;;
    --vicc-port) port=${args[i + 1]:-$port} ;;
  esac
done
if ! $vicc; then exec "$zarq7" "$@"; fi

scripts/vicc.sh "$port" >/dev/null &
vicc_pid=$!
sleep 0.2
kill -0 "$vicc_pid" 2>/dev/null || { wait "$vicc_pid"; exit 1; }
trap 'kill "$vicc_pid" 2>/dev/null; wait "$vicc_pid" 2>/dev/null || true' EXIT
"$zarq7" "$@"
