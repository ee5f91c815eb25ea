#!/usr/bin/env bash
# Runs every command README.md shows, as a person would from the repository's top folder, and
# fails when one exits non-zero, or writes to stderr where README does not say it does (with "on
# stderr" in the command's comment).
#   tests/readme_commands_test.sh ZARQ7 [IFD_HANDLER ZARQ7_CARD]
# ZARQ7 is the zarq7 binary scripts/zarq7.sh runs (so nothing is built here); IFD_HANDLER and
# ZARQ7_CARD, when given, are the pcscd handler and zarq7-card for the PC/SC commands, which run
# against a pcscd this test starts (scripts/pcscd.sh in the background) and stops.
# Commands are the lines of ```sh blocks, and the command lines of indented blocks. Skipped, each
# with its reason: builds, suites, benchmarks, the fault matrix and the fuzzers (minutes to
# hours; CI runs them), pcscd in the foreground and pcsc_scan (they run until Ctrl-C), and what
# needs a Debian package that is missing. Every command gets COMMAND_TIMEOUT seconds (120).
set -uo pipefail
cd "$(dirname "$0")/.."
[[ $# -ge 1 ]] || { echo "usage: $0 ZARQ7 [IFD_HANDLER ZARQ7_CARD]" >&2; exit 2; }
export ZARQ7=$(realpath "$1")
handler=${2:+$(realpath "$2")}
card_tool=${3:+$(realpath "$3")}
readme=${README:-README.md}
limit=${COMMAND_TIMEOUT:-120}
scratch=$(mktemp -d)
pcscd_folder=
pcscd_pid=

stop_pcscd() {
  [[ -n $pcscd_pid ]] || return 0
  kill -TERM "$pcscd_pid" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$pcscd_pid" 2>/dev/null || break; sleep 0.2; done
  # The last resort pcscd.sh leaves for this: pcscd's own process.
  if kill -0 "$pcscd_pid" 2>/dev/null && [[ -f $pcscd_folder/pcscd.sh.pid ]]; then
    kill -TERM "$(cat "$pcscd_folder/pcscd.sh.pid")" 2>/dev/null
  fi
  wait "$pcscd_pid" 2>/dev/null
  pcscd_pid=
}
trap 'stop_pcscd; rm -rf "$scratch"' EXIT

# The commands, one a line.
awk '
  /^```/ { if (fence) { fence = 0 } else { fence = 1; lang = substr($0, 4) } next }
  fence { if (lang == "sh" && $0 !~ /^[[:space:]]*$/) print; next }
  /^    [^ ]/ && (indented || blank) {
    indented = 1; line = substr($0, 5)
    if (line ~ /^(scripts\/|build\/|bench\/|tests\/|export |opensc-tool|pcsc_scan|vicc|[A-Z_]+=)/) print line
    next
  }
  { indented = 0; blank = ($0 ~ /^[[:space:]]*$/) }
' "$readme" >"$scratch/commands"

# Why a command is not run, or nothing when it is.
skip_reason() {
  case $1 in
    scripts/test.sh* | SANITIZE=* | BUILD_TYPE=* | scripts/windows.sh* | scripts/build.sh*)
      echo "a build (with the suite, for test.sh): minutes; CI runs it" ;;
    scripts/benchmark.sh* | bench/*) echo "a benchmark: minutes, and real time" ;;
    scripts/fault_matrix.sh* | *zarq7-fault-matrix*) echo "the fault matrix: minutes; CI runs it" ;;
    scripts/fuzz.sh*) echo "the fuzzers: a minute each; CI runs them" ;;
    tests/readme_commands_test.sh*) echo "this test itself" ;;
    "scripts/pcscd.sh --help"*) ;;
    scripts/pcscd.sh*) echo "pcscd in the foreground, until Ctrl-C (the PC/SC commands run against a pcscd this test starts)" ;;
    export\ PCSCLITE_CSOCK_NAME=*) echo "the socket of this test's own pcscd is used instead" ;;
    pcsc_scan*) echo "watches until Ctrl-C$(command -v pcsc_scan >/dev/null || echo ", and pcsc-tools is not installed")" ;;
    scripts/vicc.sh* | vicc\ *) echo "an emulator that runs until stopped" ;;
    *"watch --card vicc"*) echo "a live watch, until Ctrl-C" ;;
    *--card\ vicc*)
      command -v vicc >/dev/null || echo "needs vicc (Debian package vsmartcard-vpicc), not installed" ;;
    opensc-tool* | build/pcsc/*)
      if [[ -z $handler ]]; then
        echo "needs the pcscd handler, not built here (pcsc-lite headers missing, or a sanitizer build pcscd cannot load)"
      elif ! command -v pcscd >/dev/null; then
        echo "needs pcscd (Debian package pcscd), not installed"
      elif [[ $1 == opensc-tool* ]] && ! command -v opensc-tool >/dev/null; then
        echo "needs opensc-tool (Debian package opensc), not installed"
      fi ;;
  esac
}

# pcscd with the handler, once, for the first PC/SC command; ready when zarq7-card reaches it.
start_pcscd() {
  [[ -n $pcscd_pid ]] && return 0
  pcscd_folder=$scratch/pcscd
  ZARQ7_IFD=$handler scripts/pcscd.sh --dir "$pcscd_folder" >"$scratch/pcscd.log" 2>&1 &
  pcscd_pid=$!
  export PCSCLITE_CSOCK_NAME=$pcscd_folder/pcscd.comm
  for _ in $(seq 300); do
    "$card_tool" status >/dev/null 2>&1 && return 0
    kill -0 "$pcscd_pid" 2>/dev/null || break
    sleep 0.2
  done
  echo "pcscd with the handler did not come up; its output:" >&2
  cat "$scratch/pcscd.log" >&2
  return 1
}

failed=0 ran=0 skipped=0
while IFS= read -r command; do
  why=$(skip_reason "$command")
  if [[ -n $why ]]; then
    printf 'skip  %s\n      (%s)\n' "$command" "$why"
    skipped=$((skipped + 1))
    continue
  fi
  run=$command
  if [[ $command == opensc-tool* || $command == build/pcsc/* ]]; then
    start_pcscd || { failed=$((failed + 1)); continue; }
    run=${command/#build\/pcsc\/zarq7-card/$card_tool}
  fi
  start=$(date +%s%N)
  timeout "$limit" bash -c "$run" </dev/null >"$scratch/out" 2>"$scratch/err"
  status=$?
  took=$((($(date +%s%N) - start) / 100000000))
  took=$((took / 10)).$((took % 10))
  ran=$((ran + 1))
  # README says where a command writes to stderr: "... on stderr" in its comment.
  quiet=true
  [[ $command == *"#"*"on stderr"* ]] && quiet=false
  if [[ $status -ne 0 ]] || { $quiet && [[ -s $scratch/err ]]; }; then
    failed=$((failed + 1))
    printf 'FAIL  %s\n      (exit status %d%s, %s s); stderr:\n' "$command" "$status" \
      "$([[ $status -eq 124 ]] && echo ": timed out after $limit s")" "$took"
    sed 's/^/        /' "$scratch/err" | head -20
    echo "      stdout ends:"
    tail -5 "$scratch/out" | sed 's/^/        /'
  else
    printf 'ok    %s  (%s s)\n' "$command" "$took"
  fi
done <"$scratch/commands"
echo "$ran run, $failed failed, $skipped skipped"
[[ $ran -gt 0 ]] || { echo "no command found in $readme" >&2; exit 1; }
((failed == 0))
