#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang, ASan and UBSan in build-fuzz/ and runs each for
# a bounded time, starting from its seed corpus in fuzz/corpus/<target>/; prints per target its
# executions and coverage (cov: and ft: of libFuzzer's final stats). Fails when a target finds a
# crash, a hang, a leak or a sanitizer report; the input lands in build-fuzz/artifacts/.
#   scripts/fuzz.sh [SECONDS_PER_TARGET [TARGET...]]     (60 s, every target, by default)
# Inputs found on the way stay in build-fuzz/corpus/<target>/ and are reused by the next run.
# A finding replays with: build-fuzz/fuzz/<target> build-fuzz/artifacts/<file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(fuzz_atr fuzz_t1_receive fuzz_device_control fuzz_private_records)

export SANITIZE=fuzz BUILD_TYPE=Debug CXX=clang++
build=$(scripts/build_folder.sh)
scripts/build.sh "${targets[@]}"

# Each input of the machine targets boots a machine: long inputs are worth their time there.
declare -A options=(
  [fuzz_atr]="-max_len=65"
  [fuzz_t1_receive]="-max_len=1024"
  [fuzz_device_control]="-max_len=1024"
  [fuzz_private_records]="-max_len=1024"
)

export UBSAN_OPTIONS=print_stacktrace=1
mkdir -p "$build/artifacts"
failed=()
summary=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  log="$build/$t.log"
  mkdir -p "$work"
  echo "== $t: ${seconds} s" >&2
  status=0
  "$build/fuzz/$t" ${options[$t]:-} -max_total_time="$seconds" -timeout=120 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" "$work" "fuzz/corpus/$t" \
    >"$log" 2>&1 || status=$?
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  per_second=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
  corpus=$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$done_line")
  if ((status != 0)); then
    failed+=("$t")
    grep -E 'ERROR|SUMMARY|fuzz_|Test unit written|^==[0-9]+==' "$log" | head -20 >&2 || true
    summary+=("$(printf '%-22s FAILED (exit %d), see %s' "$t" "$status" "$log")")
  else
    summary+=("$(printf '%-22s %10s %8s %8s %8s %12s' "$t" "${runs:-?}" "${per_second:-?}" \
      "${cov:-?}" "${ft:-?}" "${corpus:-?}")")
  fi
done

printf '%-22s %10s %8s %8s %8s %12s\n' target executions exec/s cov ft corpus
printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
