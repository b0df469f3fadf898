"""What the file-scan peers share: the specification, and the last step from
each symbol's raw indicator values to the radar's scan result text, byte for
byte.

A peer computes, for every symbol, the raw value b of each signal in the
specification's order (None where the data are missing: a series too short,
no book, no liquidation) and the largest timestamp. From there this module
does what is left, in plain Python over the few hundred symbols: clamping b to
a strength, the weighted mean in signal order, rounding to the 1e-8 grid, the
threshold, the ranking, the limit and the text, numbers written the radar's
way (shortest round-trip digits, "0.00001" but "1e-6", "1.0", "-0.0").
The arithmetic rules come from peer_python (grid, finish, count, labels).
"""

from __future__ import annotations

import json
import math
import os
import sys
from dataclasses import dataclass
from decimal import Decimal

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_python import count, finish, grid, label, window_length  # noqa: E402


def bundled_spec_path() -> str:
    import zolvar_radar

    return os.path.join(os.path.dirname(zolvar_radar.__file__), "data", "default_spec.json")


@dataclass(frozen=True)
class Signal:
    kind: str
    params: tuple[float, ...]
    weight: float
    label: str


@dataclass(frozen=True)
class Spec:
    signals: tuple[Signal, ...]
    threshold: float
    limit: int | None
    window: int

    @classmethod
    def load(cls, path: str | None) -> Spec:
        with open(path or bundled_spec_path(), encoding="utf-8") as f:
            raw = json.load(f)
        triples = [(s["kind"], [float(p) for p in s.get("params", [])], float(s.get("weight", 1.0)))
                   for s in raw["signals"]]
        signals = tuple(Signal(k, tuple(p), w, label(k, p)) for k, p, w in triples)
        return cls(signals, float(raw.get("threshold", 0.0)), raw.get("limit"), window_length(triples))

    def lookback(self, signal: Signal) -> int | None:
        """Positions back from the newest value that a look-back signal reads,
        None when the series can never be long enough (the window wrapped)."""
        n = count(signal.params[0])
        return n if n < self.window else None

    def liq_count(self, signal: Signal) -> int:
        """How many of the newest liquidations liq_cluster sums, at most."""
        return min(count(signal.params[0]), self.window)


def format_double(x: float) -> str:
    """The radar's number text: shortest round-trip digits, fixed notation for
    decimal exponents -5 to 15 (with ".0" when integral), else 1e-8 style."""
    if not math.isfinite(x):
        return "null"
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    _s, digits, exp = Decimal(repr(abs(x))).as_tuple()
    ds = "".join(map(str, digits)).rstrip("0")
    exp += len(digits) - len(ds)
    n = len(ds)
    e = exp + n - 1  # decimal exponent of the first digit
    if -5 <= e <= 15:
        if e < 0:
            body = "0." + "0" * (-e - 1) + ds
        elif e < n - 1:
            body = ds[: e + 1] + "." + ds[e + 1:]
        else:
            body = ds + "0" * (e - n + 1) + ".0"
    else:
        body = ds[0] + ("." + ds[1:] if n > 1 else "") + "e" + ("-" if e < 0 else "+") + str(abs(e))
    return sign + body


def format_string(s: str) -> str:
    # json.dumps escapes exactly what the radar escapes (quote, backslash,
    # controls; \u00xx in lowercase) and, without ensure_ascii, nothing else
    return json.dumps(s, ensure_ascii=False)


def result_text(spec: Spec, rows) -> str:
    """rows: (symbol, [raw value or None per signal], last_ts) for every symbol seen."""
    alerts = []
    scanned = 0
    for symbol, raws, last_ts in rows:
        scanned += 1
        acc = 0.0
        wsum = 0.0
        factors = []
        for sig, b in zip(spec.signals, raws):
            s = 0.0 if b is None else finish(b)
            acc = acc + s * sig.weight
            wsum = wsum + sig.weight
            factors.append((sig.label, grid(s)))
        severity = grid(acc / wsum) if wsum > 0 else 0.0
        if severity >= spec.threshold:
            factors.sort(key=lambda kv: kv[0].encode("utf-8"))
            factors.append(("severity", severity))
            alerts.append((severity, symbol, factors, last_ts))
    # severities are grid values in [0, 1], never -0.0, so float order is the total order
    alerts.sort(key=lambda a: (-a[0], a[1].encode("utf-8")))
    if spec.limit is not None:
        alerts = alerts[: spec.limit]
    parts = []
    for severity, symbol, factors, last_ts in alerts:
        fs = ",".join(format_string(k) + ":" + format_double(v) for k, v in factors)
        parts.append('{"symbol":' + format_string(symbol) + ',"severity":' + format_double(severity)
                     + ',"factors":{' + fs + '},"ts":' + str(last_ts) + "}")
    return '{"alerts":[' + ",".join(parts) + '],"scanned":' + str(scanned) + "}"


def ordered_sum(values) -> float:
    """Left to right from -0.0, as liq_cluster adds its quantities."""
    total = -0.0
    for v in values:
        total += v
    return total


# ------------------------------------------------------------------ checking

def radar_command() -> list[str]:
    """The zolvar-radar command of this interpreter's environment."""
    exe = os.path.join(os.path.dirname(sys.executable), "zolvar-radar")
    return [exe] if os.path.exists(exe) else [sys.executable, "-m", "zolvar_radar"]


def radar_text(files, spec_path: str | None = None) -> str:
    import subprocess

    cmd = radar_command() + ["scan", "--json"] + (["--spec", spec_path] if spec_path else []) + list(files)
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE).stdout.decode("utf-8")
    return out[:-1] if out.endswith("\n") else out


# Besides the bundled specification: every symbol listed (threshold 0, no
# limit), so each symbol's factors are compared and not only the top ones;
# and short look-backs, where most series are full and wrap.
CHECK_SPECS = {
    "bundled": None,
    "all symbols": {"signals": [
        {"kind": "oi_delta", "params": [60, 0.1], "weight": 1},
        {"kind": "oi_price_divergence", "params": [60, 0.05], "weight": 2},
        {"kind": "funding_flip", "params": [0.001], "weight": 1},
        {"kind": "liq_cluster", "params": [20, 2000000], "weight": 1.5},
        {"kind": "book_imbalance", "params": [0.6], "weight": 1}], "threshold": 0},
    "short look-backs": {"signals": [
        {"kind": "oi_delta", "params": [3, 0.01], "weight": 0.5},
        {"kind": "liq_cluster", "params": [7.9, 50000], "weight": 3},
        {"kind": "oi_price_divergence", "params": [1, 0.001]},
        {"kind": "funding_flip", "params": [0.0002], "weight": 0.25},
        {"kind": "book_imbalance", "params": [0.3]}], "threshold": 0.1, "limit": 40},
}


def check_against_radar(name: str, scan, events: int = 20_000, directory: str | None = None) -> int:
    """Generates `events` events (plain and gzip) and asserts that scan(files, spec_path)
    gives the radar's text for each check specification. Returns 0 or 1."""
    import tempfile

    import gen_files

    failures = 0
    with tempfile.TemporaryDirectory(prefix="zolvar-check-") as tmp:
        info = gen_files.write(directory or os.path.join(tmp, "data"), events, 300, gen_files.DEFAULT_SEED,
                               quiet=True)
        for spec_name, spec in CHECK_SPECS.items():
            spec_path = None
            if spec is not None:
                spec_path = os.path.join(tmp, "spec.json")
                with open(spec_path, "w") as f:
                    json.dump(spec, f)
            for form in ("plain", "gzip"):
                files = info[form]
                want = radar_text(files, spec_path)
                got = scan(files, spec_path)
                alerts = len(json.loads(want)["alerts"])
                if got == want:
                    print(f"{name} check, {spec_name}, {form}: identical ({alerts} alerts, {len(want):,} bytes)")
                else:
                    failures += 1
                    at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
                    print(f"{name} check, {spec_name}, {form}: DIFFERENT at byte {at}\n"
                          f"  radar: ...{want[max(0, at - 80):at + 80]}\n"
                          f"  {name:>5}: ...{got[max(0, at - 80):at + 80]}", file=sys.stderr)
    return 1 if failures else 0


def parquet_paths(paths) -> list[str] | None:
    """The Parquet files of the inputs (a directory's in path order), or None when they are text
    files. Parquet rows are flat: symbol, kind, ts and each field a column of its own."""
    import glob

    if not all(os.path.isdir(p) or p.lower().endswith(".parquet") for p in paths):
        return None
    out = []
    for p in paths:
        out += sorted(glob.glob(os.path.join(p, "**", "*.parquet"), recursive=True)) if os.path.isdir(p) else [p]
    return out


def peer_main(name: str, scan, argv=None) -> int:
    """The command line of a peer: print the scan result text of FILES, or --check."""
    import argparse

    p = argparse.ArgumentParser(description=f"The radar's scan result text of JSON Lines files, by {name}.")
    p.add_argument("--spec", help="specification file (default: the bundled one)")
    p.add_argument("--check", action="store_true",
                   help="generate a small set and compare with `zolvar-radar scan --json` instead")
    p.add_argument("--events", type=int, default=20_000, help="events in the --check set (default 20000)")
    p.add_argument("files", nargs="*")
    a = p.parse_args(argv)
    if a.check:
        return check_against_radar(name, scan, a.events)
    if not a.files:
        p.error("FILES are needed (or --check)")
    sys.stdout.write(scan(a.files, a.spec) + "\n")
    return 0
