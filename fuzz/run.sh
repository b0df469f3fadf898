#!/usr/bin/env bash
# Runs every fuzz target for N seconds (default 60) from its seed corpus,
# FUZZ_JOBS (default 2) at a time, and prints each target's figures. Any
# crash or broken invariant fails.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
seconds="${1:-60}"
jobs="${FUZZ_JOBS:-2}"
out="${FUZZ_BUILD:-$here/build}"
targets=(fuzz_command fuzz_spec fuzz_structured fuzz_state fuzz_files)
"$here/build.sh" >/dev/null
cd "$out"  # crash reproducers land beside the binaries

run_one() {
  local target="$1"
  local work="$out/corpus_$target"
  mkdir -p "$work"
  "$out/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$work" "$here/corpus/$target" >"$out/$target.log" 2>&1
}

report() {
  local target="$1" rc="$2"
  local log="$out/$target.log"
  if [ "$rc" != 0 ]; then
    tail -n 40 "$log"
    echo "FAILED: $target" >&2
    return 1
  fi
  local execs rate
  execs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
  rate=$(grep -m1 'stat::average_exec_per_sec' "$log" | awk '{print $2}')
  echo "$target: ${seconds}s clean, ${execs} runs, ${rate} exec/s"
}

failed=0
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  batch=("${targets[@]:i:jobs}")
  pids=()
  for target in "${batch[@]}"; do
    run_one "$target" &
    pids+=($!)
  done
  for k in "${!batch[@]}"; do
    rc=0
    wait "${pids[$k]}" || rc=$?
    report "${batch[$k]}" "$rc" || failed=1
  done
  [ "$failed" = 0 ] || exit 1
done
