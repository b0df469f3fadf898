"""The radar's "scan" of JSON Lines files as one polars pipeline.

    python bench/peer_polars.py FILES...            # prints what `zolvar-radar scan --json FILES` prints
    python bench/peer_polars.py --spec S.json FILES
    python bench/peer_polars.py --check             # compare with the radar on a generated 20k-event set
    python bench/peer_polars.py DATASET             # a Parquet dataset: a directory or .parquet files

In polars: scan_ndjson over the files (gzip included) with a fixed schema that
holds both line forms, one column per event field taken from the nested event
or from the line itself (or scan_parquet of a dataset's flat columns), then one group_by(symbol) whose aggregations keep,
per kind, the newest W values in line order (filter, tail), the newest book
and the largest ts, and expressions on those lists (list.get from the newest)
for each signal's raw value, with the radar's arithmetic in the radar's order.
Rows keep their file and line order inside a group, so "newest" is the
radar's newest.

In Python, over the few hundred result rows: the liquidation sums (an ordered
left fold of at most `count` values; polars' sum does not promise that
order) and their division by the scale, then (_scan_text) clamping, the
weighted severity, the 1e-8 grid, threshold, ranking, limit and the text.
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import polars as pl  # noqa: E402

from _scan_text import Spec, ordered_sum, parquet_paths, peer_main, result_text  # noqa: E402
from peer_python import ieee_div  # noqa: E402

F64 = pl.Float64
FIELDS = {
    "kind": pl.String, "ts": pl.Int64,
    "open_interest": F64, "funding_rate": F64, "mark_price": F64,
    "bid_volume": F64, "ask_volume": F64, "qty": F64,
}
SHORT = {"open_interest": "oi", "funding_rate": "fr", "mark_price": "px", "bid_volume": "bid",
         "ask_volume": "ask", "qty": "qty", "kind": "kind", "ts": "ts"}
SCHEMA = {"symbol": pl.String, "event": pl.Struct(FIELDS), **FIELDS}


def lit(x: float) -> pl.Expr:
    return pl.lit(x, dtype=F64)


FLOOR = lit(1e-12)


def back(col: str, r: int) -> pl.Expr:
    """The value r - 1 places before the newest of a list column (r = 1: the newest)."""
    return pl.col(col).list.get(-r, null_on_oob=True)


def rel(col: str, n: int) -> pl.Expr:
    past = back(col, n + 1)
    return (back(col, 1) - past) / pl.max_horizontal(past, FLOOR)


def pipeline(spec: Spec, files: list[str]) -> tuple[pl.LazyFrame, list]:
    nested = pl.col("event").is_not_null()
    parquet = parquet_paths(files)
    if parquet is not None:  # flat columns, one per field; files and rows in order
        events = pl.scan_parquet(parquet).select("symbol", *(pl.col(k).alias(SHORT[k]) for k in FIELDS))
    else:
        # a line is either {"symbol":S,"event":{...}} or the event itself with a symbol
        events = pl.scan_ndjson(files, schema=SCHEMA).select(
            "symbol",
            *(pl.when(nested).then(pl.col("event").struct.field(k)).otherwise(pl.col(k)).alias(SHORT[k])
              for k in FIELDS),
        )
    w = spec.window
    d = pl.col("kind") == "derivatives"
    b = pl.col("kind") == "orderbook"
    q = pl.col("kind") == "liquidation"
    per = events.group_by("symbol").agg(
        pl.col("ts").max().alias("last_ts"),
        pl.col("oi").filter(d).tail(w),
        pl.col("fr").filter(d).tail(w),
        pl.col("px").filter(d).tail(w),
        pl.col("bid").filter(b).last(),
        pl.col("ask").filter(b).last(),
        b.sum().alias("n_b"),
        pl.col("qty").filter(q).tail(w),
    )
    n_d = pl.col("oi").list.len()
    raws, finish_in_python = [], []
    for i, sig in enumerate(spec.signals):
        p = sig.params
        name = f"b{i}"
        if sig.kind in ("oi_delta", "oi_price_divergence"):
            n = spec.lookback(sig)
            if n is None:
                raws.append(pl.lit(None, dtype=F64).alias(name))
            elif sig.kind == "oi_delta":
                raws.append(pl.when(n_d > n).then(rel("oi", n).abs() / lit(p[1])).alias(name))
            else:
                u = rel("px", n) * (-rel("oi", n))
                raws.append(pl.when(n_d > n).then(pl.when(u > 0).then(u).otherwise(lit(0.0)) / lit(p[1] * p[1]))
                            .alias(name))
        elif sig.kind == "funding_flip":
            f = back("fr", 1).abs() / lit(p[0])
            raws.append(pl.when(n_d >= 2).then(pl.when(back("fr", 1) * back("fr", 2) < 0).then(f + f).otherwise(f))
                        .alias(name))
        elif sig.kind == "book_imbalance":
            imbalance = ((pl.col("bid") - pl.col("ask")) / pl.max_horizontal(pl.col("bid") + pl.col("ask"), FLOOR)).abs()
            raws.append(pl.when(pl.col("n_b") > 0).then(imbalance / lit(p[0])).alias(name))
        elif sig.kind == "liq_cluster":
            m = spec.liq_count(sig)
            raws.append(pl.col("qty").list.tail(m).alias(name))
            finish_in_python.append((i, p[1]))
        else:
            raise ValueError(f"unknown signal kind {sig.kind!r}")
    return per.select("symbol", *raws, "last_ts", n_l=pl.col("qty").list.len()), finish_in_python


def scan(files: list[str], spec_path: str | None = None) -> str:
    spec = Spec.load(spec_path)
    lf, liq = pipeline(spec, list(files))
    k = len(spec.signals)
    rows = []
    for row in lf.collect().iter_rows():
        raws = list(row[1:1 + k])
        for i, scale in liq:
            raws[i] = ieee_div(ordered_sum(raws[i]), scale) if row[k + 2] else None
        rows.append((row[0], raws, row[1 + k]))
    return result_text(spec, rows)


if __name__ == "__main__":
    sys.exit(peer_main("polars", scan))
