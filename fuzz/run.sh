#!/usr/bin/env bash
# Runs every fuzz target for N seconds (default 60) from its seed corpus and
# prints each target's last status line. Any crash or broken invariant fails.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
seconds="${1:-60}"
out="${FUZZ_BUILD:-$here/build}"
"$here/build.sh" >/dev/null
cd "$out"  # crash reproducers land beside the binaries
for target in fuzz_command fuzz_spec fuzz_structured fuzz_state; do
  work="$out/corpus_$target"
  mkdir -p "$work"
  log="$out/$target.log"
  if ! "$out/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$work" "$here/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "FAILED: $target" >&2
    exit 1
  fi
  execs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
  rate=$(grep -m1 'stat::average_exec_per_sec' "$log" | awk '{print $2}')
  echo "$target: ${seconds}s clean, ${execs} runs, ${rate} exec/s"
done
