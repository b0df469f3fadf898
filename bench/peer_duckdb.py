"""The radar's "scan" of JSON Lines files as one DuckDB query.

    python bench/peer_duckdb.py FILES...            # prints what `zolvar-radar scan --json FILES` prints
    python bench/peer_duckdb.py --spec S.json FILES
    python bench/peer_duckdb.py --check             # compare with the radar on a generated 20k-event set
    python bench/peer_duckdb.py DATASET             # a Parquet dataset: a directory or .parquet files

In DuckDB: read_json over the files (gzip told by the name), both line forms
into one row per event with typed columns (or read_parquet of a dataset's flat
columns), a window that numbers each
symbol's events of each kind from the newest (row_number over symbol and
kind, by ts descending) and keeps the newest W, then one GROUP BY symbol that
picks the values each indicator reads (newest, n back), the newest book, the
liquidation quantities as an ordered list summed with list_reduce (a left
fold, so in the radar's order), the largest ts, and each signal's raw value
with the radar's arithmetic in the radar's order.

In Python, over the few hundred result rows (_scan_text): clamping, the
weighted severity, the 1e-8 grid, threshold, ranking, limit and the text.

Event order: the radar takes each symbol's events in line order; this query
takes them in ts order. The same on the generated files, whose timestamps rise
with every line, and what one would write for exchange data (ts ties within
one symbol and kind would make the order arbitrary here).
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import duckdb  # noqa: E402

from _scan_text import Spec, parquet_paths, peer_main, result_text  # noqa: E402

FIELDS = {
    "kind": "VARCHAR", "ts": "BIGINT",
    "open_interest": "DOUBLE", "funding_rate": "DOUBLE", "mark_price": "DOUBLE",
    "bid_volume": "DOUBLE", "ask_volume": "DOUBLE", "qty": "DOUBLE",
}
SHORT = {"open_interest": "oi", "funding_rate": "fr", "mark_price": "px", "bid_volume": "bid",
         "ask_volume": "ask", "qty": "qty", "kind": "kind", "ts": "ts"}


def lit(x: float) -> str:
    # the shortest text of the double, read back by DuckDB into the same double
    return f"CAST('{x!r}' AS DOUBLE)"


FLOOR = lit(1e-12)


def query(spec: Spec, files: list[str]) -> str:
    nested = "STRUCT(" + ", ".join(f"{k} {t}" for k, t in FIELDS.items()) + ")"
    columns = "{'symbol': 'VARCHAR', 'event': '" + nested + "', " + ", ".join(
        f"'{k}': '{t}'" for k, t in FIELDS.items()) + "}"
    # a line is either {"symbol":S,"event":{...}} or the event itself with a symbol
    picks = ",\n         ".join(
        f"CASE WHEN event IS NOT NULL THEN event.{k} ELSE {k} END AS {SHORT[k]}" for k in FIELDS)
    parquet = parquet_paths(files)
    file_list = "[" + ", ".join("'" + f.replace("'", "''") + "'" for f in parquet or files) + "]"
    if parquet is not None:  # flat columns, one per field
        picks = ",\n         ".join(f"{k} AS {SHORT[k]}" for k in FIELDS)
        source = f"read_parquet({file_list})"
    else:
        source = f"read_json({file_list}, format = 'newline_delimited', columns = {columns})"

    positions: set[int] = {1}  # newest first: position r is the value r - 1 back
    liq_counts: set[int] = set()
    raws = []
    for sig in spec.signals:
        p = sig.params
        if sig.kind in ("oi_delta", "oi_price_divergence"):
            n = spec.lookback(sig)
            if n is None:
                raws.append("NULL")
                continue
            positions.add(n + 1)
            if sig.kind == "oi_delta":
                raws.append(f"CASE WHEN n_d > {n} THEN abs((oi_1 - oi_{n + 1}) / greatest(oi_{n + 1}, {FLOOR}))"
                            f" / {lit(p[1])} END")
            else:
                d_oi = f"((oi_1 - oi_{n + 1}) / greatest(oi_{n + 1}, {FLOOR}))"
                d_px = f"((px_1 - px_{n + 1}) / greatest(px_{n + 1}, {FLOOR}))"
                u = f"({d_px} * (-{d_oi}))"
                raws.append(f"CASE WHEN n_d > {n} THEN (CASE WHEN {u} > 0 THEN {u} ELSE CAST(0 AS DOUBLE) END)"
                            f" / ({lit(p[1])} * {lit(p[1])}) END")
        elif sig.kind == "funding_flip":
            positions.add(2)
            b = f"(abs(fr_1) / {lit(p[0])})"
            raws.append(f"CASE WHEN n_d >= 2 THEN (CASE WHEN fr_1 * fr_2 < 0 THEN {b} + {b} ELSE {b} END) END")
        elif sig.kind == "book_imbalance":
            raws.append(f"CASE WHEN n_b > 0 THEN abs((bid_1 - ask_1) / greatest(bid_1 + ask_1, {FLOOR}))"
                        f" / {lit(p[0])} END")
        elif sig.kind == "liq_cluster":
            m = spec.liq_count(sig)
            liq_counts.add(m)
            # an empty sum is -0.0, and so is the fold's start
            raws.append(f"CASE WHEN n_l > 0 THEN coalesce(list_reduce(liq_{m}, lambda a, x: a + x),"
                        f" CAST('-0.0' AS DOUBLE)) / {lit(p[1])} END")
        else:
            raise ValueError(f"unknown signal kind {sig.kind!r}")

    picks_per_symbol = []
    for r in sorted(positions):
        for col in ("oi", "fr", "px"):
            picks_per_symbol.append(f"any_value({col}) FILTER (WHERE kind = 'derivatives' AND rn = {r}) AS {col}_{r}")
    picks_per_symbol += [f"any_value({c}) FILTER (WHERE kind = 'orderbook' AND rn = 1) AS {c}_1" for c in ("bid", "ask")]
    for m in sorted(liq_counts):
        picks_per_symbol.append(
            f"list(qty ORDER BY rn DESC) FILTER (WHERE kind = 'liquidation' AND rn <= {m}) AS liq_{m}")
    per_symbol = ",\n         ".join(picks_per_symbol)
    raw_cols = ",\n       ".join(f"{r} AS b{i}" for i, r in enumerate(raws))
    return f"""
WITH ev AS (
  SELECT symbol,
         {picks}
  FROM {source}
),
recent AS (
  SELECT *, row_number() OVER (PARTITION BY symbol, kind ORDER BY ts DESC) AS rn
  FROM ev
  QUALIFY rn <= {spec.window}
),
per AS (
  SELECT symbol,
         max(ts) AS last_ts,
         count(*) FILTER (WHERE kind = 'derivatives') AS n_d,
         count(*) FILTER (WHERE kind = 'orderbook') AS n_b,
         count(*) FILTER (WHERE kind = 'liquidation') AS n_l,
         {per_symbol}
  FROM recent
  GROUP BY symbol
)
SELECT symbol,
       {raw_cols},
       last_ts
FROM per
"""


def scan(files: list[str], spec_path: str | None = None) -> str:
    spec = Spec.load(spec_path)
    con = duckdb.connect()
    rows = con.execute(query(spec, list(files))).fetchall()
    k = len(spec.signals)
    return result_text(spec, ((row[0], row[1:1 + k], row[1 + k]) for row in rows))


if __name__ == "__main__":
    sys.exit(peer_main("duckdb", scan))
