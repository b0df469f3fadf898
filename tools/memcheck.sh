#!/usr/bin/env bash
# Runs a short workload under valgrind memcheck and fails on any definite leak
# or memory error whose stack passes through the extension module (the
# interpreter's own reports are left alone). Usage: tools/memcheck.sh [PYTHON]
set -euo pipefail
python="${1:-python3}"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite --num-callers=30 --log-file="$log" \
  "$python" - <<'PY'
import json, threading
from zolvar_radar import Radar
spec = {"signals": [{"kind": "oi_delta", "params": [3, 0.05]}, {"kind": "funding_flip", "params": [0.0005]},
                    {"kind": "book_imbalance", "params": [0.6]}, {"kind": "liq_cluster", "params": [4, 100]},
                    {"kind": "oi_price_divergence", "params": [3, 0.02]}], "threshold": 0.1, "limit": 3}
for round in range(20):
    r = Radar(json.dumps(spec))
    for i in range(50):
        r.command(json.dumps({"cmd": "feed", "symbol": f"S{i % 7}",
                              "event": ["derivatives", i, 100 + i, (-1) ** i * 1e-4, 50 - i]}))
        r.command(json.dumps({"cmd": "feed", "symbol": f"S{i % 5}", "event": ["liquidation", i, "buy", i, 1]}))
    r.command(json.dumps({"cmd": "feed_batch", "symbol": "B", "events": [["orderbook", 1, 3, 1, 0, 0]] * 10}))
    r.command('{"cmd":"alerts"}')
    r.command(json.dumps({"cmd": "scan", "events": {f"X{i}": [["orderbook", i, i, 1, 0, 0]] for i in range(40)}}))
    r.command('{"cmd":"feed","symbol":"x","event":{"kind":"nope"}}')
    r.command('{"cmd":"set_spec","spec":' + json.dumps(spec) + '}')
    r.command('[1,2')
    try:
        Radar('{"signals":[]}')
    except ValueError:
        pass
    try:
        r.command(5)
    except TypeError:
        pass
# a handle released on a foreign thread is leaked on purpose; keep that out
PY
grep -E "definitely lost|ERROR SUMMARY" "$log" || true
# valgrind prints stacks only for errors and leaks, so any module frame is one
if grep -qE "_zolvar_radar|radar::" "$log"; then
  echo "memcheck found a report through the module:" >&2
  cat "$log" >&2
  exit 1
fi
echo "memcheck: no definite leak or memory error through the module"
