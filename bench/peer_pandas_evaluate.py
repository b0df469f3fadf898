"""The forward returns of `zolvar-radar evaluate`, the way a pandas user would get them.

    python bench/peer_pandas_evaluate.py --onsets onsets.csv --horizons 5m,1h OUT.csv FILES...

Reads the onsets file `evaluate --onsets` wrote and the events of FILES
(JSON Lines, both line forms, gzip or plain, files in time order), and for
every onset with a price finds, per horizon, the first price of the same
source at or after clock + horizon with `merge_asof`: the mark price when
the symbol had one by the clock, else the book's mid. Writes symbol, clock,
price and return_H per horizon; `same_returns` compares that with the
onsets file.

Prices read at or before the clock came before the checkpoint, and a price
at clock + horizon > clock after it, as long as the files are in time order
(the bench's are), so a sort by time stands in for the order of reading.
"""

from __future__ import annotations

import argparse
import gzip
import json
import sys

import numpy as np
import pandas as pd

UNITS = {"ms": 1, "s": 1000, "m": 60_000, "h": 3_600_000, "d": 86_400_000}


def horizon_units(text: str) -> int:
    text = text.strip()
    for unit in ("ms", "s", "m", "h", "d"):
        if text.endswith(unit) and text[:-len(unit)].isdigit():
            return int(text[:-len(unit)]) * UNITS[unit]
    return int(text)


def read_prices(paths: list[str]) -> pd.DataFrame:
    """symbol, ts, source ("mark" or "mid"), price: every price above 0, in time order.

    Lines are parsed by the json module: pandas' own JSON reader rounds
    numbers (or, told to be precise, refuses long ones), and a price off by
    an ulp is a return off by one.
    """
    symbols, stamps, sources, values = [], [], [], []
    for path in paths:
        with (gzip.open(path, "rt") if path.endswith(".gz") else open(path)) as f:
            for line in f:
                row = json.loads(line)
                event = row.get("event", row)
                kind = event["kind"]
                if kind == "derivatives":
                    source, price = "mark", event["mark_price"]
                elif kind == "orderbook":
                    source, price = "mid", (event["best_bid"] + event["best_ask"]) / 2
                else:
                    continue
                symbols.append(row["symbol"])
                stamps.append(event["ts"])
                sources.append(source)
                values.append(price)
    prices = pd.DataFrame({"symbol": symbols, "ts": np.array(stamps, dtype="int64"), "source": sources,
                           "price": np.array(values, dtype="float64")})
    prices = prices[prices["price"] > 0]
    return prices.sort_values("ts", kind="stable", ignore_index=True)


def forward_returns(onsets: pd.DataFrame, prices: pd.DataFrame, horizons: dict[str, int]) -> pd.DataFrame:
    out = onsets[["symbol", "clock"]].copy()
    out["clock"] = out["clock"].astype("int64")
    out["_row"] = np.arange(len(out))
    by_clock = out.sort_values("clock", kind="stable")
    marks = prices[prices["source"] == "mark"]
    mids = prices[prices["source"] == "mid"]
    # the reference: the last mark price by the clock, else the last mid
    ref = by_clock
    for name, series in (("mark", marks), ("mid", mids)):
        ref = pd.merge_asof(ref, series[["symbol", "ts", "price"]].rename(columns={"ts": "clock", "price": name}),
                            on="clock", by="symbol", direction="backward")
    ref["source"] = np.where(ref["mark"].notna(), "mark", np.where(ref["mid"].notna(), "mid", None))
    ref["price"] = ref["mark"].where(ref["mark"].notna(), ref["mid"])
    ref = ref.drop(columns=["mark", "mid"])
    for label, h in horizons.items():
        ref["target"] = ref["clock"] + h
        ref = ref.sort_values("target", kind="stable")
        got = []
        for source, series in (("mark", marks), ("mid", mids)):
            mine = ref[ref["source"] == source]
            got.append(pd.merge_asof(mine, series[["symbol", "ts", "price"]].rename(
                columns={"ts": "target", "price": "later"}), on="target", by="symbol", direction="forward"))
        joined = pd.concat(got)
        ref = ref.merge(joined[["_row", "later"]], on="_row", how="left")
        ref[f"return_{label}"] = ref["later"] / ref["price"] - 1
        ref = ref.drop(columns=["later", "target"])
    return ref.sort_values("_row").drop(columns=["_row", "source"]).reset_index(drop=True)


def same_returns(mine: pd.DataFrame, onsets: pd.DataFrame, horizons) -> tuple[int, float]:
    """(values compared, largest difference) between the peer's returns and the onsets file's;
    raises when a value is missing on one side only."""
    compared, worst = 0, 0.0
    for label in ["price"] + [f"return_{h}" for h in horizons]:
        a, b = mine[label].to_numpy(float), onsets[label].to_numpy(float)
        if not np.array_equal(np.isnan(a), np.isnan(b)):
            row = int(np.flatnonzero(np.isnan(a) != np.isnan(b))[0])
            raise AssertionError(f"{label}: row {row} is {a[row]} here and {b[row]} in the onsets file")
        both = ~np.isnan(a)
        compared += int(both.sum())
        if both.any():
            worst = max(worst, float(np.max(np.abs(a[both] - b[both]))))
    return compared, worst


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--onsets", required=True, help="the onsets file of evaluate --onsets")
    p.add_argument("--horizons", required=True, help="as given to evaluate: 5m,1h,... or timestamp units")
    p.add_argument("out", help="where the returns go (CSV)")
    p.add_argument("files", nargs="+")
    a = p.parse_args(argv)
    labels = [h.strip() for h in a.horizons.split(",")]
    onsets = pd.read_csv(a.onsets, keep_default_na=False, na_values=[""], dtype={"symbol": str})
    result = forward_returns(onsets, read_prices(a.files), {h: horizon_units(h) for h in labels})
    result.to_csv(a.out, index=False, float_format="%.17g")
    return 0


if __name__ == "__main__":
    sys.exit(main())
