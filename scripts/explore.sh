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
per=$(( (seeds + jobs - 1) / jobs ))
for (( j = 0; j < jobs; ++j )); do
  from=$(( first + j * per ))
  count=$(( seeds - j * per < per ? seeds - j * per : per ))
  [ "$count" -gt 0 ] || break
  "$explorer" --first "$from" --seeds "$count" --coverage-file "$out/$j.coverage" \
    >"$out/$j.out" 2>"$out/$j.err" &
done
status=0
wait || true
runs=0; requests=0; failed=0
for f in "$out"/*.out; do
  read -r r q x < <(sed -n 's/^explorer: \([0-9]*\) runs, \([0-9]*\) requests, \([0-9]*\) failed.*/\1 \2 \3/p' "$f")
  runs=$(( runs + ${r:-0} )); requests=$(( requests + ${q:-0} )); failed=$(( failed + ${x:-0} ))
done
cat "$out"/*.err >&2
"$explorer" --merge-coverage "$out"/*.coverage
echo "explored: $runs runs of $seeds seeds, $requests requests, $failed failed, wall time $(( $(date +%s) - start )) s"
[ "$runs" -eq "$seeds" ] || status=1
[ "$failed" -eq 0 ] || status=1
exit $status
