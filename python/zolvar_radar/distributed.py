"""One "scan" over events spread across many files, run on a Dask cluster.

`scan(source, spec)` answers exactly the text that a single radar's "scan"
command gives for the same events, byte for byte, but splits the work:

1. Reading. One task per file reads it and splits its events into one piece
   per shard. A symbol belongs to shard ``crc32(UTF-8 bytes) % partitions``,
   the same on every machine and in every run (Python's ``hash()`` of a str
   is salted per process and would scatter a symbol's events). An iterable
   of (symbol, event) pairs is split the same way on the calling side and
   sent to the cluster in chunks.
2. Scanning. One task per shard joins its pieces, files in the order given
   and lines in file order, so each symbol gets its events in the order a
   single scan would apply them. It builds its own `Radar` from the
   specification text (a handle is bound to the thread that made it, so none
   is ever shipped) and runs one "scan" command.
3. Merging. The shards' alerts are merged in the radar's order (severity
   descending by the IEEE total order, then symbol bytes ascending) and cut
   at the specification's limit; "scanned" is the sum over the shards. The
   alerts are the radar's own texts joined unchanged, never numbers printed
   again, so the result is byte-identical. Each shard already cut its list
   at the limit, which loses nothing: the overall first `limit` alerts are
   among the first `limit` of the shards they come from.

Memory. A worker holds the pieces of the files it read until the shard tasks
that need them finish (Dask spills them to disk past the worker's memory
limit), plus, for each shard it is scanning, that shard's events and the
command text made from them: about two to three times the shard's share of
the input text, the radar's working set on top. A shard is about
1/`partitions` of the input, so raise `partitions` (default: the number of
worker threads) to make shards smaller. A single file is read by one task;
split very large inputs into several files.

Failures. Every task is a pure function of its arguments: the same files,
shard count and specification give the same pieces and the same answer. When
a worker dies, Dask runs its lost tasks again elsewhere (reading the files
again where needed) and the result stays the same; a task that loses its
worker more often than ``distributed.scheduler.allowed-failures`` (default 3)
fails the call with Dask's KilledWorker. Files must be readable under the
same path by the caller and by every worker.

Bad input. Files are read by `zolvar_radar.adapters.read_events` (JSON Lines
or tardis CSV, gzip or plain), which stops a file at its first line that is
not an event the radar takes. `scan` then raises that reader's `FormatError`,
``FILE:LINE: <reason>`` with the radar's own wording, for the first such line
in input order (files in the order given, lines in file order), the line a
single process reading the files one after another would stop at; no partial
result is returned. An event of an iterable source that the radar refuses is
reported the same way, named ``<events>:N`` for the N-th pair; an event given
as text must be exactly one JSON value as the radar reads it (checked on the
calling side, so nothing after it can join the scan command), and the first
one that is not ends the pairs like a bad line ends a file. A file that
cannot be opened raises `InputError` before any work starts.

The default cluster. Without `client`, `scan` starts a `LocalCluster` for the
call, bound to 127.0.0.1 with no dashboard: worker processes (one per core,
one thread each) when the files add up to more than `PROCESS_BYTES`, else a
single process with threads. The radar keeps the interpreter lock for a whole
command, so threads of one process scan one shard at a time and processes are
what runs shards side by side; but starting worker processes costs a second
or two, and an iterable source would have to be pickled over to them, so
small jobs and iterables stay in-process, where every radar command still
rebuilds symbols on all cores. Pass a `Client` (or a scheduler address) to
reuse a cluster across calls.
"""

from __future__ import annotations

import glob
import heapq
import itertools
import json
import operator
import os
import re
import struct
import sys
import uuid
import zlib
from array import array
from collections import Counter
from contextlib import contextmanager, suppress
from typing import Any, Iterable, Iterator

from ._zolvar_radar import Radar
from .adapters import FORMATS, FormatError, read_events
from .inputs import Checker, InputError, feed_batch_command, feed_command, open_sources

__all__ = ["PROCESS_BYTES", "FormatError", "InputError", "scan", "shard_of"]

# Files smaller than this in total are scanned by threads of one process.
PROCESS_BYTES = 64 * 1024 * 1024
# Events per chunk sent to the cluster from an iterable source.
CHUNK_EVENTS = 250_000
# Name and "line" numbering of the events of an iterable source in messages.
PAIRS_NAME = "<events>"

# A location is (part << LINE_BITS) | line: ordering locations orders lines
# across the parts (files or chunks) as they were given.
LINE_BITS = 40
LINE_MASK = (1 << LINE_BITS) - 1

_ALERTS_HEAD = '{"alerts":['
_POSITIONED = re.compile(r" at line \d+ column \d+$")
_SCANNED = '],"scanned":'


def shard_of(symbol: str, partitions: int) -> int:
    """The shard a symbol's events go to: stable across processes and runs."""
    # surrogatepass: a lone surrogate still needs a shard; the radar then refuses it
    return zlib.crc32(symbol.encode("utf-8", "surrogatepass")) % partitions


# --- tasks (run on the workers; pure functions of their arguments) ------------
#
# A piece maps symbol -> (event texts, their locations), both in input order.

_ENCODE = json.JSONEncoder(separators=(",", ":"), check_circular=False).encode


def _add(piece: dict, symbol: str, text: str, loc: int) -> None:
    entry = piece.get(symbol)
    if entry is None:
        piece[symbol] = entry = ([], array("q"))
    entry[0].append(text)
    entry[1].append(loc)


def read_part(path: str, part: int, partitions: int, format: str | None) -> list:
    """One file split into `partitions` pieces, then its first bad line (or None), then the rows it skipped.

    A bad line is (location, file, line, reason); reading stops there, as
    reading the files one after another would.
    """
    pieces: list[dict] = [{} for _ in range(partitions)]
    base = part << LINE_BITS
    bad = None
    skipped: dict = {}
    try:
        events = read_events(path, format)
        skipped = events.skipped
        for symbol, event in events:
            # the reader's line number, kept in case the radar refuses the event
            _add(pieces[shard_of(symbol, partitions)], symbol, _ENCODE(event), base | events._number)
    except FormatError as exc:
        bad = (base | exc.line, exc.source, exc.line, exc.reason)
    except OSError as exc:  # gone since the caller looked
        bad = (base, path, 0, f"{path}: {exc.strerror or exc}")
    return [*pieces, bad, dict(skipped)]


def _join(groups: dict) -> Iterator[tuple[str, Iterator[str], Iterator[int]]]:
    """(symbol, its event texts, their locations) with the pieces of each symbol chained in order."""
    chain = itertools.chain.from_iterable
    for symbol, parts in groups.items():
        yield symbol, chain(texts for texts, _ in parts), chain(locs for _, locs in parts)


def _scan_command(groups: dict) -> str:
    body = ",".join(f"{json.dumps(symbol)}:[{','.join(texts)}]" for symbol, texts, _ in _join(groups))
    return f'{{"cmd":"scan","events":{{{body}}}}}'


def _first_refusal(groups: dict) -> tuple[int, str] | None:
    """(location, the radar's error) of the first event in input order that the radar refuses."""
    checker = Checker()
    first = None
    for symbol, texts, locs in _join(groups):
        texts, locs = list(texts), list(locs)
        if checker.refusal(feed_batch_command(symbol, texts)) is None:
            continue
        for text, loc in zip(texts, locs):
            if first is not None and loc > first[0]:
                break
            # a JSON fault of the text itself is positioned within it, as for a line of a file
            error = checker.refusal(text)
            if error is None or not _POSITIONED.search(error):
                error = checker.refusal(feed_command(symbol, text))
            if error is not None:
                first = (loc, error)
                break
    return first


def scan_shard(spec_text: str, *pieces: dict) -> tuple:
    """One shard's scan: ("ok", scanned, alerts) or ("bad", location, the radar's error).

    Alerts come as (sort key, text) in the radar's order, each text exactly
    as the radar wrote it. The location is -1 when no single event explains
    the refusal. The pieces are not changed: Dask may run the task again on them.
    """
    groups: dict[str, list] = {}
    for piece in pieces:  # parts in the order given: keeps each symbol's events in input order
        for symbol, entry in piece.items():
            parts = groups.get(symbol)
            if parts is None:
                groups[symbol] = [entry]
            else:
                parts.append(entry)
    answer = Radar(spec_text).command(_scan_command(groups))
    if answer.startswith('{"error"'):
        first = _first_refusal(groups)
        return ("bad", *first) if first else ("bad", -1, json.loads(answer)["error"])
    del groups
    return ("ok", *split_result(answer))


# --- the result text ------------------------------------------------------------

_READER = json.JSONDecoder(object_pairs_hook=dict)


def _order_key(severity: Any, symbol: str) -> tuple[int, bytes]:
    """Sorts as the radar ranks: severity descending by IEEE total order, then symbol bytes."""
    bits = struct.unpack("<q", struct.pack("<d", float("nan") if severity is None else severity))[0]
    if bits < 0:
        bits ^= 0x7FFF_FFFF_FFFF_FFFF
    return -bits, symbol.encode("utf-8", "surrogatepass")


def split_result(text: str) -> tuple[int, list[tuple[tuple[int, bytes], str]]]:
    """("scanned", [(order key, alert text), ...]) of a scan result text, texts unchanged."""
    if not text.startswith(_ALERTS_HEAD):
        raise ValueError(f"not a scan result: {text[:80]!r}")
    alerts = []
    pos = len(_ALERTS_HEAD)
    if text[pos] != "]":
        while True:
            alert, end = _READER.raw_decode(text, pos)
            alerts.append((_order_key(alert["severity"], alert["symbol"]), text[pos:end]))
            if text[end] != ",":
                pos = end
                break
            pos = end + 1
    if not text.startswith(_SCANNED, pos) or not text.endswith("}"):
        raise ValueError(f"not a scan result: ...{text[pos:pos + 80]!r}")
    return int(text[pos + len(_SCANNED) : -1]), alerts


def merge_results(shards: Iterable[tuple[int, list]], limit: int | None) -> str:
    """One result text from the shards' (scanned, alerts) in the radar's order, cut at `limit`."""
    shards = list(shards)
    merged = heapq.merge(*(alerts for _, alerts in shards), key=operator.itemgetter(0))
    # no list holds more than sys.maxsize alerts, and islice takes no larger limit
    kept = merged if limit is None or limit > sys.maxsize else itertools.islice(merged, limit)
    scanned = sum(count for count, _ in shards)
    return _ALERTS_HEAD + ",".join(text for _, text in kept) + _SCANNED + str(scanned) + "}"


def spec_limit(spec_text: str) -> int | None:
    """The "limit" of a specification the radar accepted (object or array form)."""
    spec = json.loads(spec_text)
    if isinstance(spec, dict):
        return spec.get("limit")
    return spec[4] if len(spec) > 4 else None


# --- sources --------------------------------------------------------------------


def _file_list(source: Any) -> list[str] | None:
    """The files of a source, in order, or None when it is an iterable of pairs."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if os.path.exists(path) or not glob.has_magic(path):
            return [path]
        found = sorted(glob.glob(path))
        if not found:
            raise InputError(f"{path}: no file matches")
        return found
    if isinstance(source, (list, tuple)) and source and all(isinstance(p, (str, os.PathLike)) for p in source):
        return [os.fspath(p) for p in source]
    return None


def _event_text(event: Any) -> str:
    return str.__str__(event) if isinstance(event, str) else _ENCODE(event)


def _text_fault(checker: Checker, text: str) -> str | None:
    """The radar's error when `text` is not exactly one JSON value, else None.

    A caller's event text is spliced into the scan command, so text after its
    first value would become members of that command (even more symbols). The
    text alone as a command makes the radar read it whole: a syntax error comes
    back positioned within it; one value answers something else (usually
    missing "cmd", or acts on the scratch handle only).
    """
    error = checker.refusal(text)
    return error if error is not None and _POSITIONED.search(error) else None


def _pair_chunks(pairs: Iterable, partitions: int, chunk: int, bad: list | None = None) -> Iterator[list[dict]]:
    """Pieces of `chunk` pairs at a time; a pair's "line" is its 1-based position.

    An event text that is not one JSON value ends the pairs, as a bad line ends
    a file: (location, name, number, the radar's error) is appended to `bad`
    (without `bad`, its FormatError is raised).
    """
    pieces: list[dict] = [{} for _ in range(partitions)]
    count = 0
    checker = None
    for number, pair in enumerate(pairs, 1):
        try:
            symbol, event = pair
        except (TypeError, ValueError):
            raise TypeError(f"{PAIRS_NAME}:{number}: not a (symbol, event) pair: {pair!r:.80}") from None
        if not isinstance(symbol, str):
            raise TypeError(f"{PAIRS_NAME}:{number}: the symbol must be a str, not {type(symbol).__name__}")
        text = _event_text(event)
        if isinstance(event, str):
            checker = checker or Checker()
            fault = _text_fault(checker, text)
            if fault is not None:
                if bad is None:
                    raise FormatError(PAIRS_NAME, number, fault)
                bad.append((number, PAIRS_NAME, number, fault))
                break
        _add(pieces[shard_of(symbol, partitions)], symbol, text, number)
        count += 1
        if count == chunk:
            yield pieces
            pieces, count = [{} for _ in range(partitions)], 0
    if count:
        yield pieces


# --- the cluster ----------------------------------------------------------------


def local_cluster(processes: bool, n_workers: int | None = None):
    """A LocalCluster listening on 127.0.0.1 only, without a dashboard."""
    from distributed import LocalCluster

    cores = max(1, os.cpu_count() or 1)
    if processes:
        # the radar keeps the interpreter lock for a whole command: one thread per process
        where = {"n_workers": n_workers or cores, "threads_per_worker": 1, "host": "127.0.0.1"}
    else:
        where = {"n_workers": n_workers or 1, "threads_per_worker": cores, "protocol": "inproc"}
    return LocalCluster(
        processes=processes,
        dashboard_address=None,
        # scheduler and workers still answer health checks over HTTP: on
        # 127.0.0.1 and a free port (an in-process worker would take all interfaces)
        scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
        worker_dashboard_address="127.0.0.1:0",
        **where,
    )


@contextmanager
def _connected(client: Any, processes: bool):
    from distributed import Client

    if client is None:
        with local_cluster(processes) as cluster, Client(cluster) as own:
            yield own
    elif isinstance(client, str):
        with Client(client) as own:
            yield own
    else:
        yield client


def _total_size(paths: list[str]) -> int:
    total = 0
    for path in paths:
        with suppress(OSError):
            total += os.path.getsize(path)
    return total


# --- the call -------------------------------------------------------------------


def scan(
    source: Any,
    spec: str | dict | list,
    client: Any = None,
    partitions: int | None = None,
    *,
    format: str | None = None,
    skipped_rows: dict | None = None,
    chunk: int = CHUNK_EVENTS,
) -> str:
    """The "scan" result text for the events of `source`, computed on a Dask cluster.

    `source` is a path, a glob (files in sorted name order), a list of paths
    (in the order given; JSON Lines or tardis CSV, gzip or plain, as
    `zolvar_radar.adapters.read_events` reads them, `format` passed on) or an
    iterable of (symbol, event) pairs, the event a JSON value or its text.
    `spec` is the specification text (or its value). `client` is None for a
    local cluster started for this call, a scheduler address, or a
    `distributed.Client`. `partitions` is the number of shards (default: the
    cluster's worker threads). `skipped_rows`, a dict, receives for each file
    that left rows out the count by reason (tardis rows with an empty field).

    Raises ValueError for a specification the radar refuses, `FormatError`
    (``FILE:LINE: <reason>``) for the first line in input order that is not
    an event the radar takes, and `InputError` for a file that cannot be opened.
    """
    spec_text = spec if isinstance(spec, str) else json.dumps(spec)
    Radar(spec_text)  # a bad specification fails here, before any cluster starts
    limit = spec_limit(spec_text)
    if partitions is not None and (type(partitions) is not int or partitions < 1):
        raise ValueError(f"partitions must be a positive integer, not {partitions!r}")
    if type(chunk) is not int or chunk < 1:
        raise ValueError(f"chunk must be a positive integer, not {chunk!r}")
    if format is not None and format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)} or None, not {format!r}")

    paths = _file_list(source)
    if paths is not None:
        for opened in open_sources(paths):  # a missing file stops the call before any work
            opened.close()
    processes = paths is not None and _total_size(paths) > PROCESS_BYTES

    with _connected(client, processes) as dask:
        if partitions is None:
            partitions = max(1, sum(dask.nthreads().values()))
        token = uuid.uuid4().hex
        by_shard: list[list] = [[] for _ in range(partitions)]
        reports = []
        if paths is not None:
            names = paths
            for part, path in enumerate(paths):
                read = dask.submit(read_part, path, part, partitions, format, key=f"zolvar-read-{part}-{token}")
                for shard in range(partitions):
                    key = f"zolvar-piece-{part}-{shard}-{token}"
                    by_shard[shard].append(dask.submit(operator.getitem, read, shard, key=key))
                key = f"zolvar-report-{part}-{token}"
                reports.append(dask.submit(operator.getitem, read, slice(partitions, None), key=key))
            # the client keeps no reference to a read: it is freed once split
            del read
        else:
            names = [PAIRS_NAME]
            pairs_bad: list = []
            for pieces in _pair_chunks(source, partitions, chunk, pairs_bad):
                present = [(shard, piece) for shard, piece in enumerate(pieces) if piece]
                sent = dask.scatter([piece for _, piece in present], hash=False)
                for (shard, _), future in zip(present, sent):
                    by_shard[shard].append(future)
            pieces = present = sent = None
        shards = [
            dask.submit(scan_shard, spec_text, *pieces, key=f"zolvar-shard-{shard}-{token}")
            for shard, pieces in enumerate(by_shard)
        ]
        del by_shard  # each piece is freed once its shard is scanned
        outcomes = dask.gather(shards)
        reports = dask.gather(reports)
        if paths is None:
            reports = [(pairs_bad[0] if pairs_bad else None, {})]

    if skipped_rows is not None:
        for name, (_, rows) in zip(names, reports):
            if rows:
                skipped_rows.setdefault(name, Counter()).update(rows)
    return _resolve(outcomes, [bad for bad, _ in reports if bad is not None], names, limit)


def _resolve(outcomes: list, read_bad: list, names: list[str], limit: int | None) -> str:
    """The merged text, or the first bad line in input order raised."""
    bad = [FormatError(source, line, reason) for _, source, line, reason in read_bad if line]
    order = [loc for loc, _, line, _ in read_bad if line]
    unexplained = None
    for outcome in outcomes:
        if outcome[0] == "bad":
            _, loc, error = outcome
            if loc < 0:
                unexplained = unexplained or error
                continue
            bad.append(FormatError(names[loc >> LINE_BITS], loc & LINE_MASK, error))
            order.append(loc)
    unopened = [b for b in read_bad if not b[2]]
    if unopened:
        raise InputError(min(unopened)[3])
    if bad:
        raise min(zip(order, range(len(order)), bad))[2]
    if unexplained is not None:
        raise ValueError(unexplained)
    return merge_results(((scanned, alerts) for _, scanned, alerts in outcomes), limit)
