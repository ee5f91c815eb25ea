#!/usr/bin/env bash
# scripts/pcscd.sh's arguments: --help answers on stdout, and a wrong argument or a reader name
# the handler would refuse stops the script with one line on stderr, before pcscd starts (no
# folder made, no pcscd left running without its reader).
set -uo pipefail
cd "$(dirname "$0")/../.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Never built nor loaded: every case stops before.
export ZARQ7_IFD=$scratch/never.so
failed=0
check() {  # expected-status expected-stderr-line-count argument...
  local want=$1 lines=$2
  shift 2
  scripts/pcscd.sh --dir "$scratch/pcscd" "$@" >"$scratch/out" 2>"$scratch/err"
  local status=$? got
  got=$(wc -l <"$scratch/err")
  if [[ $status -ne $want || $got -ne $lines || -e $scratch/pcscd ]]; then
    echo "FAIL pcscd.sh $*: status $status (want $want), $got stderr lines (want $lines)," \
      "folder $([[ -e $scratch/pcscd ]] && echo made || echo not made)"
    sed 's/^/  /' "$scratch/err"
    failed=1
    rm -rf "$scratch/pcscd"
  else
    echo "ok   pcscd.sh $*: $(head -1 "$scratch/err" "$scratch/out" 2>/dev/null | grep -v '^==>\|^$' | head -1)"
  fi
}
check 0 0 --help
grep -q "^usage: scripts/pcscd.sh" "$scratch/out" || { echo "FAIL --help prints no usage"; failed=1; }
check 2 1 --reader bogus
grep -qx 'pcscd.sh: --reader "bogus": unknown card "bogus" (use builtin, t0, none or vicc,port=PORT)' \
  "$scratch/err" || { echo "FAIL the name is not quoted once:"; cat "$scratch/err"; failed=1; }
check 2 1 --reader builtin,rate=9601
check 2 1 --reader vicc
check 2 1 --reader t0,port=35963
check 2 1 --reader builtin,colour=red
check 2 1 --reader
check 2 1 --vpcd x
check 2 1 --frobnicate
exit $failed
