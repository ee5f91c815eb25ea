#!/usr/bin/env bash
# The sequence explorer over SEEDS seeds (300 when not given), JOBS processes at a time, each
# with a range of seeds of its own; then the coverage table of all the runs. Failing seeds are
# shrunk and printed on stderr with the plan and the command that replays them.
#   scripts/explore.sh               300 seeds
#   JOBS=2 scripts/explore.sh 10000
#   FIRST=5000 scripts/explore.sh 100     seeds 5000..5099
# The plain build (build/) unless BUILD_TYPE=Release asks for the optimized one.
set -euo pipefail
cd "$(dirname "$0")/.."
seeds=${1:-300}
jobs=${JOBS:-1}
first=${FIRST:-1}
source scripts/build_quietly.sh
build_quietly explore.sh tools/explorer/zarq7-explorer zarq7-explorer
explorer=$(scripts/build_folder.sh)/tools/explorer/zarq7-explorer
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
start=$(date +%s)
# Chunks of 50 seeds, JOBS at a time: a run that takes the process down (a crash of the driver's
# or the host's) costs the rest of its chunk only, and is named.
chunk=50
for (( from = first; from < first + seeds; from += chunk )); do
  echo "$from $(( first + seeds - from < chunk ? first + seeds - from : chunk ))"
done | xargs -P "$jobs" -L 1 sh -c '"$0" --first "$2" --seeds "$3" --coverage-file "$1/$2.coverage" \
  >"$1/$2.out" 2>"$1/$2.err"' "$explorer" "$out" 2>/dev/null || true
status=0
runs=0; requests=0; failed=0
for f in "$out"/*.out; do
  read -r r q x < <(sed -n 's/^explorer: \([0-9]*\) runs, \([0-9]*\) requests, \([0-9]*\) failed.*/\1 \2 \3/p' "$f") || true
  if [ -z "${r:-}" ]; then
    echo "explore.sh: the chunk from seed $(basename "$f" .out) ended without its summary (a crash):" \
      "run its seeds one by one with --seed to find it" >&2
    status=1
  fi
  runs=$(( runs + ${r:-0} )); requests=$(( requests + ${q:-0} )); failed=$(( failed + ${x:-0} ))
  r=; q=; x=
done
cat "$out"/*.err >&2
"$explorer" --merge-coverage "$out"/*.coverage 2>/dev/null || true
echo "explored: $runs runs of $seeds seeds, $requests requests, $failed failed, wall time $(( $(date +%s) - start )) s"
[ "$runs" -eq "$seeds" ] || status=1
[ "$failed" -eq 0 ] || status=1
exit $status
