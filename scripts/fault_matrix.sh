#!/usr/bin/env bash
# The whole-stack fault matrix in full: every class over 1000 seeds (or SEEDS), on the optimized
# build, JOBS classes at a time (each class's runs go one after the other, so every row is what
# a single run of the program prints for it). Failing seeds and the command that replays them
# go to stderr.
#   scripts/fault_matrix.sh                  every class, 1000 seeds
#   SEEDS=200 JOBS=2 scripts/fault_matrix.sh
set -euo pipefail
cd "$(dirname "$0")/.."
seeds=${SEEDS:-1000}
jobs=${JOBS:-1}
# The optimized build is a folder of its own: its first build takes minutes, and says so.
source scripts/build_quietly.sh
BUILD_TYPE=Release build_quietly fault_matrix.sh tools/fault_matrix/zarq7-fault-matrix \
  zarq7-fault-matrix
matrix=$(BUILD_TYPE=Release scripts/build_folder.sh)/tools/fault_matrix/zarq7-fault-matrix
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
start=$(date +%s)
"$matrix" --list | awk '{print $1}' >"$out/classes"
xargs -P "$jobs" -I{} sh -c "'$matrix' --class {} --seeds $seeds >'$out/{}.row' 2>'$out/{}.err'; echo \$? >'$out/{}.rc'" <"$out/classes"
status=0
first=1
while read -r class; do
  if [ $first = 1 ]; then head -1 "$out/$class.row"; first=0; fi
  grep -v '^class \|^wall time' "$out/$class.row"
  cat "$out/$class.err" >&2
  [ "$(cat "$out/$class.rc")" = 0 ] || status=1
done <"$out/classes"
cat <<'KEY'
runs: one a seed; struck: runs the fault met; correct: requests answered as they must be, of which
cmddmg: answers to a command the line damaged on its way to the card (the card's true answer);
failed: requests failed with a status; corrupted: wrong answers reported as success; unended:
requests not completed within the class's bound; verifier: machines the verifier stopped; leaks:
left behind at shutdown; after: clean sessions that failed once the fault had ended; bound/s:
the class's bound on a request, slowest: the longest request (virtual seconds). corrupted,
unended, verifier, leaks and after must be 0.
KEY
echo "seeds per class: $seeds, wall time $(( $(date +%s) - start )) s"
exit $status
