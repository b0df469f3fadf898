"""One "scan" over events spread across many files, run on a Dask cluster.

`scan(source, spec)` answers exactly the text that a single radar's "scan"
command gives for the same events, byte for byte (for files, what
`zolvar_radar.scan_files` gives), but splits the work:

1. Reading. The files, large plain ones cut into byte ranges, are split
   into ``partitions`` runs of consecutive parts of about equal bytes (a
   task per worker thread: a task per part would wait on the scheduler once
   per part). One task per run reads it with the native reader `scan_files`
   uses into the states the radar keeps per symbol (the last timestamp, the
   latest book, the last *window* values of each series) and returns them
   as a partial state: bytes, a few hundred to a few thousand per symbol,
   whatever the size of the files. A range owns the lines that start in it,
   so ranges cut at any byte cover every line exactly once.
2. Merging. Partial states of consecutive stretches of events merge in input
   order (files in the order given, ranges in file order), in a tree of
   tasks taking `MERGE_FAN_IN` states at a time: a symbol's later stretch
   continues its earlier one exactly as reading on would have.
3. Scoring. The last merge makes a radar from the merged states and asks
   for its alerts: the same states as one scan's, so the same text.

What moves. Between workers, partial states only (each at most the symbols
times the window times 8 bytes per series, plus the symbols' names), never
event text; to the caller, for each file or range its line count, its
first bad line and its skipped rows, then the result text.

Memory. A read task holds its symbols' states and a read buffer of about a
megabyte, however large its file; a merge task its inputs and their merge.
Nothing grows with the size of the input, only with the number of symbols.

Failures. Every task is a pure function of its arguments: the same files,
ranges and specification give the same states and the same answer. When a
worker dies, Dask runs its lost tasks again elsewhere (reading files again
where their states were lost) and the result stays the same; a task that
loses its worker more often than ``distributed.scheduler.allowed-failures``
(default 3) fails the call with Dask's KilledWorker. Files must be readable
under the same path by the caller and by every worker.

Bad input. A file's lines are decoded natively, and the first line in input
order that is not an event the radar takes raises `FormatError`,
``FILE:LINE: <reason>``, the line and words `scan_files` and the command
line report; no partial result is returned. A range's task numbers its lines
from the range's start and reports how many it read; the caller adds the
lines of the file's earlier ranges. A file that cannot be opened raises
`InputError` before any work starts. Tardis rows left out for an empty field
are counted by file and reason into `skipped_rows`.

Pairs. An iterable of (symbol, event) pairs is split on the calling side by
symbol into ``partitions`` shards (``crc32(UTF-8 bytes) % partitions``, the
same in every process, unlike the salted ``hash()``) and sent to the cluster
in chunks. One task per shard builds its own `Radar` (a handle is bound to
the thread that made it, so none is ever shipped) and runs one "scan"
command over its events in input order. The shards' alerts are merged in
the radar's order (severity descending by the IEEE total order, then symbol
bytes) as the texts the radar wrote, cut at the specification's limit, and
their "scanned" counts summed. An event the radar refuses is reported as
``<events>:N`` for the N-th pair; an event given as text must be exactly one
JSON value as the radar reads it (checked on the calling side, so nothing
after it can join the scan command), and the first one that is not ends the
pairs like a bad line ends a file. Pairs cannot be read again: losing the
worker holding them fails the call.

The default cluster. Without `client`, `scan` starts a `LocalCluster` for the
call, bound to 127.0.0.1 with no dashboard: one process with a worker thread
per core. The native reader leaves the interpreter lock while it reads, so
threads read files side by side, and states pass between them unpickled;
worker processes would take a second or two to start. Pass a `Client` (or a
scheduler address) to use a real cluster or to reuse one across calls.
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
from contextlib import contextmanager
from typing import Any, Iterable, Iterator

from ._engine import engine
from ._engine import save_state as _save_state
from ._zolvar_radar import Radar
from .adapters import FORMATS, FormatError
from .files import _bar
from .inputs import Checker, InputError, feed_batch_command, feed_command

__all__ = ["MERGE_FAN_IN", "RANGE_BYTES", "FormatError", "InputError", "scan", "shard_of"]

# A plain file larger than this is read in byte ranges of about this size.
RANGE_BYTES = 64 << 20
# About how many times larger JSON Lines text is than its gzip, to weigh a
# gzip file's share of the work.
GZIP_EXPANSION = 5
# Ranges made to give every worker thread work are no smaller than this.
MIN_RANGE_BYTES = 4 << 20
# Partial states merged by one task.
MERGE_FAN_IN = 8
# Events per chunk sent to the cluster from an iterable source.
CHUNK_EVENTS = 250_000
# Name and "line" numbering of the events of an iterable source in messages.
PAIRS_NAME = "<events>"

GZIP_MAGIC = b"\x1f\x8b"
ALERTS_COMMAND = '{"cmd":"alerts"}'

_ALERTS_HEAD = '{"alerts":['
_POSITIONED = re.compile(r" at line \d+ column \d+$")
_SCANNED = '],"scanned":'


def shard_of(symbol: str, partitions: int) -> int:
    """The shard a symbol's events go to (iterable sources): stable across processes and runs."""
    # surrogatepass: a lone surrogate still needs a shard; the radar then refuses it
    return zlib.crc32(symbol.encode("utf-8", "surrogatepass")) % partitions


# --- file tasks (run on the workers; pure functions of their arguments) ----------
#
# A part is a path, or (path, begin, end) for the lines of a plain file that
# start in that byte range.


def read_part(part: str | tuple, spec_text: str, format: str | None, notional: bool, bar: int = 0) -> tuple:
    """(partial state or None, report) of one file or range; with `bar`, its
    bars left open for the merge to join with the next part's.

    The report is (lines read, first bad line as (line, error) or None, tardis
    rows skipped {reason: count}, the reader's failure text or None). The
    state is None when reading stopped early: the call fails then, and no
    state of it needs to move.
    """
    try:
        # one reader thread: Dask runs as many tasks side by side as the worker has threads
        with _opened([part]) as paths:
            native = engine.FileScan(paths, spec_text, format, False, notional, 1, bar=bar, score=False)
            _, bad, skipped, _, lines, *_ = native.run()
    except OSError as exc:  # gone or unreadable since the caller looked
        return None, (0, None, {}, str(exc))
    if bad:
        return None, (lines, tuple(bad[0][1:]), skipped[0], None)
    return native.partial_state(), (lines, None, skipped[0], None)


def read_parts(parts: list, spec_text: str, format: str | None, notional: bool, bar: int = 0) -> tuple:
    """(partial state or None, reports) of consecutive parts read as one task.

    One report per part, as `read_part` gives, None for the parts after the
    one reading stopped at; a file that cannot be opened fails the whole
    task, its text in the first report.
    """
    try:
        with _opened(parts) as paths:
            native = engine.FileScan(paths, spec_text, format, False, notional, 1, bar=bar, score=False)
            _, bad, skipped, _, _, _, lines = native.run()
    except OSError as exc:  # gone or unreadable since the caller looked
        return None, [(0, None, {}, str(exc))] + [None] * (len(parts) - 1)
    reports: list = [(n, None, rows, None) for n, rows in zip(lines, skipped)]
    if bad:
        where, line, error = bad[0]
        reports[where] = (lines[where], (line, error), skipped[where], None)
        reports[where + 1:] = [None] * (len(parts) - where - 1)
        return None, reports
    return native.partial_state(), reports


def _look_at_urls(urls: list[str]) -> None:
    """OSError for the first object that is not there or not ours to read."""
    from .remote import open_url, url_error

    for url in urls:
        fs, path = open_url(url)
        try:
            fs.info(path)
        except Exception as exc:  # noqa: BLE001 - every filesystem words its failures its own way
            raise url_error(url, exc) from None


@contextmanager
def _opened(parts: list):
    """The parts as the reader takes them: a URL is opened by the worker itself and streamed through a
    pipe (`zolvar_radar.remote`); an object read short fails the task with its URL."""
    if not any(isinstance(p, str) and "://" in p for p in parts):
        yield parts
        return
    from .remote import RemoteInputs

    inputs = RemoteInputs(parts)
    try:
        yield inputs.paths
        inputs.finish()
    except OSError as exc:
        raise OSError(inputs.rename(str(exc))) from None
    finally:
        inputs.close()


def _is_url(path: object) -> bool:
    if not isinstance(path, str) or "://" not in path:
        return False
    from .remote import is_url

    return is_url(path)


def group_parts(parts: list[tuple[int, str | tuple]], groups: int) -> list[list[tuple[int, str | tuple]]]:
    """The parts in at most `groups` runs of about equal bytes, in order, the
    adjacent ranges of a file in one run joined: a task per worker, where a
    task per part would wait on the scheduler once per part."""
    sizes = [_part_bytes(part) for _, part in parts]
    total = sum(sizes) or 1
    runs: list[list[tuple[int, str | tuple]]] = [[] for _ in range(max(1, groups))]
    done = 0
    for (index, part), size in zip(parts, sizes):
        run = runs[min(len(runs) - 1, (2 * done + size) * len(runs) // (2 * total))]
        done += size
        last = run[-1][1] if run else None
        if isinstance(last, tuple) and isinstance(part, tuple) and last[0] == part[0] and last[2] == part[1]:
            run[-1] = (index, (part[0], last[1], part[2]))
        else:
            run.append((index, part))
    return [run for run in runs if run]


def _part_bytes(part: str | tuple) -> int:
    if isinstance(part, tuple):
        return part[2] - part[1]
    if _is_url(part):
        return 1  # its size would cost a request here: objects count alike
    try:
        size = os.stat(part).st_size
    except OSError:
        return 0  # its task says why
    return size if _plain_size_or_none(part) else size * GZIP_EXPANSION


def _plain_size_or_none(path: str) -> int | None:
    try:
        return _plain_size(path)
    except OSError:
        return None


def merge_states(*items: bytes | tuple | None) -> tuple:
    """(the partial states of consecutive stretches, in order, as one, None if
    any is; the reads' reports, in order).

    An item is a state (a saved one the files continue), a read's (state,
    reports) or an earlier merge's: the reports ride along with the states,
    so no task is spent taking them apart.
    """
    pairs = [item if isinstance(item, tuple) else (item, []) for item in items]
    reports = [report for _, some in pairs for report in some]
    states = [state for state, _ in pairs]
    if any(state is None for state in states):
        return None, reports
    return (states[0] if len(states) == 1 else engine.merge_partial_states(states)), reports


def score_state(spec_text: str, state: bytes | None, keep: bool, bar: int = 0) -> tuple | None:
    """(the alerts text, the radar's saved state when `keep`, snapshots a bar
    left out) of the merged states, whose open bars close here."""
    if state is None:
        return None
    if bar:
        native = engine.FileScan([], spec_text, state=state, bar=bar, save=keep)
        outcome = native.run()
        text, dropped = outcome[0], outcome[5]
        return text, native.saved_state() if keep else None, dropped
    radar = engine.radar_from_partial_state(spec_text, state)
    return radar.command(ALERTS_COMMAND), _save_state(radar) if keep else None, 0


def merge_and_score(spec_text: str, keep: bool, bar: int, *items: bytes | tuple | None) -> tuple:
    """The last merge and the scoring in one task, no state moving in between:
    (score_state's outcome or None, every read's reports in order)."""
    state, reports = merge_states(*items)
    return score_state(spec_text, state, keep, bar), reports


def read_parts_split(parts: list, spec_text: str, format: str | None, notional: bool, bar: int,
                     partitions: int) -> tuple:
    """`read_parts`, its state dealt by symbol into `partitions` states (None each when reading stopped)."""
    state, reports = read_parts(parts, spec_text, format, notional, bar)
    if state is None:
        return [None] * partitions, reports
    return engine.split_partial_state(state, partitions), reports


def split_start(state: bytes, partitions: int) -> tuple:
    """A starting state dealt by symbol as the reads' are, with no reports."""
    return engine.split_partial_state(state, partitions), []


def pick(split: tuple, p: int) -> tuple:
    """Partition p of a split read: (its state, the reports on partition 0 only, so they count once)."""
    states, reports = split
    return states[p], reports if p == 0 else []


def partitions_for(threads: int, reads: int, keep: bool) -> int:
    """How many partitions the states are reduced in: one per worker thread, so that no task
    holds more than its share of the symbols; one when the whole state is wanted back, or
    there is a single read."""
    if keep or reads < 2:
        return 1
    return max(1, threads)


def partial_of(spec_text: str, state: bytes, bar: int = 0) -> bytes:
    """A saved state (a radar's or a partial one) as a partial state with the
    spec's window, its bars kept open when they are of width `bar`.

    Raises ValueError for bytes that are no state or a state of another window.
    """
    native = engine.FileScan([], spec_text, state=state, bar=bar, score=False)
    native.run()
    return native.partial_state()


# --- pair tasks ---------------------------------------------------------------------
#
# A piece maps symbol -> (event texts, their positions), both in input order.

_ENCODE = json.JSONEncoder(separators=(",", ":"), check_circular=False).encode


def _add(piece: dict, symbol: str, text: str, loc: int) -> None:
    entry = piece.get(symbol)
    if entry is None:
        piece[symbol] = entry = ([], array("q"))
    entry[0].append(text)
    entry[1].append(loc)


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
    if isinstance(source, (list, tuple)) and all(isinstance(p, (str, os.PathLike)) for p in source):
        return [os.fspath(p) for p in source]
    return None


def _plain_size(path: str) -> int | None:
    """The size of a plain file, None for gzip (read whole, from its start)."""
    with open(path, "rb") as f:
        if f.read(2) == GZIP_MAGIC:
            return None
        return os.fstat(f.fileno()).st_size


def cut_parts(paths: list[str], partitions: int, range_bytes: int) -> list[tuple[int, str | tuple]]:
    """(file index, part) for every read task, in input order.

    A plain file is cut into equal byte ranges of at most `range_bytes`, and
    smaller ones (not below `MIN_RANGE_BYTES`) when that is what it takes to
    give `partitions` tasks; a gzip file is read whole.
    """
    sizes = []
    for path in paths:
        if _is_url(path):
            sizes.append(None)  # an object is read whole, by the worker that opens it
            continue
        try:
            sizes.append(_plain_size(path))
        except OSError as exc:
            raise InputError(f"{path}: {exc.strerror or exc}") from None
    total = sum(size or 0 for size in sizes)
    piece = min(range_bytes, max(MIN_RANGE_BYTES, -(-total // partitions)))
    parts: list[tuple[int, str | tuple]] = []
    for index, (path, size) in enumerate(zip(paths, sizes)):
        count = 1 if size is None else -(-size // piece)
        if count <= 1:
            parts.append((index, path))
            continue
        for k in range(count):
            parts.append((index, (path, size * k // count, size * (k + 1) // count)))
    return parts


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


def _distributed():
    try:
        import distributed
    except ImportError:
        raise ImportError("scanning on Dask needs dask.distributed: pip install 'zolvar_radar[dask]'") from None
    return distributed


def local_cluster(processes: bool, n_workers: int | None = None):
    """A LocalCluster listening on 127.0.0.1 only, without a dashboard."""
    LocalCluster = _distributed().LocalCluster

    cores = max(1, os.cpu_count() or 1)
    if processes:
        # a read task uses one thread, a pairs shard holds the interpreter lock: one thread per process
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
def _connected(client: Any):
    Client = _distributed().Client

    if client is None:
        with local_cluster(processes=False) as cluster, Client(cluster) as own:
            yield own
    elif isinstance(client, str):
        with Client(client) as own:
            yield own
    else:
        yield client


# --- the call -------------------------------------------------------------------


def scan(
    source: Any,
    spec: str | dict | list,
    client: Any = None,
    partitions: int | None = None,
    *,
    format: str | None = None,
    notional: bool = False,
    state: bytes | None = None,
    saved_state: bytearray | None = None,
    skipped_rows: dict | None = None,
    range_bytes: int = RANGE_BYTES,
    chunk: int = CHUNK_EVENTS,
    bar: int | str | None = None,
    dropped: list | None = None,
) -> str:
    """The "scan" result text for the events of `source`, computed on a Dask cluster.

    `source` is a path, a glob (files in sorted name order), a list of paths
    (in the order given; JSON Lines or tardis CSV, gzip or plain, as
    `zolvar_radar.scan_files` reads them, `format` and `notional` passed on:
    with `notional`, tardis liquidation quantities are amount times price)
    or an iterable of (symbol, event) pairs, the event a JSON value or its
    text. `spec` is the specification text (or its value). `client` is None
    for a local cluster started for this call, a scheduler address, or a
    `distributed.Client`. `partitions` (default: the cluster's worker
    threads) is, for files, the number of read tasks to aim at: plain files
    are cut into byte ranges of at most `range_bytes`, smaller ones (not
    below 4 MiB) until there are that many; for pairs, the number of shards.
    `skipped_rows`, a dict, receives for each file that left rows out the
    count by reason (tardis rows with an empty field).

    Files only: `state`, the bytes of a saved state (`save_state`'s, or a
    partial state), is what the files continue, as if its events had been
    read first; its window must be the specification's. `saved_state`, a
    bytearray, receives the state of the radar after the scan, the bytes
    `save_state` gives (and `scan_files(..., keep_radar=True)` would).
    `bar` thins the events to bars exactly as `scan_files` does, the parts'
    bars joined where the parts meet; `dropped`, a list, receives the
    number of snapshots it left out.

    Raises ValueError for a specification the radar refuses or an unusable
    `state`, `FormatError` (``FILE:LINE: <reason>``) for the first line in
    input order that is not an event the radar takes, and `InputError` for
    a file that cannot be opened.
    """
    spec_text = spec if isinstance(spec, str) else json.dumps(spec)
    Radar(spec_text)  # a bad specification fails here, before any cluster starts
    if partitions is not None and (type(partitions) is not int or partitions < 1):
        raise ValueError(f"partitions must be a positive integer, not {partitions!r}")
    if type(chunk) is not int or chunk < 1:
        raise ValueError(f"chunk must be a positive integer, not {chunk!r}")
    if type(range_bytes) is not int or range_bytes < 1:
        raise ValueError(f"range_bytes must be a positive integer, not {range_bytes!r}")
    if format is not None and format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)} or None, not {format!r}")

    width = _bar(bar)
    paths = _file_list(source)
    if paths is None:
        if state is not None or saved_state is not None:
            raise ValueError("a saved state is continued by files, not by (symbol, event) pairs")
        if width:
            raise ValueError("bar thins files; thin (symbol, event) pairs with zolvar_radar.bars.Bars first")
        with _connected(client) as dask:
            return _scan_pairs(dask, source, spec_text, partitions, chunk)
    if "-" in paths:
        raise InputError("standard input (-) cannot be read on the workers")
    # every file opens (every object is there), and the state loads, before any cluster is reached
    try:
        engine.FileScan([p for p in paths if not _is_url(p)], spec_text, format, notional=notional)
        _look_at_urls([p for p in paths if _is_url(p)])
    except OSError as exc:
        raise InputError(str(exc)) from None
    start = partial_of(spec_text, state, width) if state is not None else None
    if not paths:  # the state alone (or nothing): no work worth a cluster
        native = engine.FileScan([], spec_text, state=start, bar=width, save=saved_state is not None)
        outcome = native.run()
        text, left_out = outcome[0], outcome[5]
        if dropped is not None:
            dropped[:] = [left_out]
        if saved_state is not None:
            saved_state[:] = native.saved_state()
        return text
    with _connected(client) as dask:
        if partitions is None:
            partitions = max(1, sum(dask.nthreads().values()))
        text, saved, left_out = _scan_files(dask, paths, spec_text, partitions, range_bytes, format, notional,
                                            start, saved_state is not None, skipped_rows, width)
    if dropped is not None:
        dropped[:] = [left_out]
    if saved_state is not None:
        saved_state[:] = saved
    return text


def _scan_files(dask, paths, spec_text, partitions, range_bytes, format, notional, start, keep, skipped_rows,
                bar=0):
    parts = cut_parts(paths, partitions, range_bytes)
    token = uuid.uuid4().hex
    states = []
    if start is not None:
        [scattered] = dask.scatter([start], hash=False)
        states.append(scattered)
    runs = group_parts(parts, partitions)
    reduce = partitions_for(partitions, len(runs) + (start is not None), keep)
    if reduce == 1:
        for k, run in enumerate(runs):
            states.append(dask.submit(read_parts, [part for _, part in run], spec_text, format, notional, bar,
                                      key=f"zolvar-read-{k}-{token}"))
        scored = [dask.submit(merge_and_score, spec_text, keep, bar, *_merged(dask, states, token, ""),
                              key=f"zolvar-score-{token}")]
    else:
        # Each read deals its states by symbol into `reduce` partitions; each partition is merged and
        # scored apart, so no task holds more than its share of the symbols, and the ranked lists join.
        splits = []
        if start is not None:
            splits.append(dask.submit(split_start, states.pop(), reduce, key=f"zolvar-split-start-{token}"))
        for k, run in enumerate(runs):
            splits.append(dask.submit(read_parts_split, [part for _, part in run], spec_text, format, notional, bar,
                                      reduce, key=f"zolvar-read-{k}-{token}"))
        scored = []
        for p in range(reduce):
            picked = [dask.submit(pick, split, p, key=f"zolvar-pick-{k}-{p}-{token}") for k, split in enumerate(splits)]
            scored.append(dask.submit(merge_and_score, spec_text, False, bar, *_merged(dask, picked, token, f"{p}-"),
                                      key=f"zolvar-score-{p}-{token}"))
        del splits, picked
    del states
    outcomes = dask.gather(scored)
    reports = outcomes[0][1]
    if any(outcome is None for outcome, _ in outcomes):
        outcome = None
    elif len(outcomes) == 1:
        outcome = outcomes[0][0]
    else:
        texts = [text for (text, _, _), _ in outcomes]
        failed = next((t for t in texts if t.startswith('{"error"')), None)
        joined = failed or merge_results((split_result(t) for t in texts), spec_limit(spec_text))
        outcome = (joined, None, sum(left for (_, _, left), _ in outcomes))

    names = paths
    # None: a part after the one its task stopped at, which a problem before it explains
    per_part = [(index, report) for (index, _), report in zip((p for run in runs for p in run), reports)
                if report is not None]
    if skipped_rows is not None:
        for index, (_, _, rows, _) in per_part:
            if rows:
                skipped_rows.setdefault(names[index], Counter()).update(rows)
    # the first problem in input order; lines of a range count from its start
    lines_before = [0] * len(paths)
    for index, (lines, bad, _, failure) in per_part:
        if failure is not None:
            raise InputError(failure)
        if bad is not None:
            raise FormatError(names[index], lines_before[index] + bad[0], bad[1])
        lines_before[index] += lines
    if outcome is None:  # a read stopped without a report saying why: cannot happen, but never a silent result
        raise InputError("a read stopped without saying why")
    text, saved, left_out = outcome
    if text.startswith('{"error"'):
        raise ValueError(json.loads(text)["error"])
    return text, saved, left_out


def _merged(dask, states: list, token: str, tag: str) -> list:
    """States of consecutive stretches merged in a tree of tasks until few enough for one task."""
    level = 0
    while len(states) > MERGE_FAN_IN:
        states = [dask.submit(merge_states, *states[i:i + MERGE_FAN_IN], key=f"zolvar-merge-{tag}{level}-{i}-{token}")
                  for i in range(0, len(states), MERGE_FAN_IN)]
        level += 1
    return states


def _scan_pairs(dask, pairs, spec_text, partitions, chunk) -> str:
    if partitions is None:
        partitions = max(1, sum(dask.nthreads().values()))
    token = uuid.uuid4().hex
    by_shard: list[list] = [[] for _ in range(partitions)]
    bad: list = []
    for pieces in _pair_chunks(pairs, partitions, chunk, bad):
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
    return _resolve(outcomes, bad, spec_limit(spec_text))


def _resolve(outcomes: list, text_bad: list, limit: int | None) -> str:
    """The merged text, or the first refused pair in input order raised."""
    bad = [(number, FormatError(name, number, reason)) for _, name, number, reason in text_bad]
    unexplained = None
    for outcome in outcomes:
        if outcome[0] == "bad":
            _, number, error = outcome
            if number < 0:
                unexplained = unexplained or error
            else:
                bad.append((number, FormatError(PAIRS_NAME, number, error)))
    if bad:
        raise min(bad, key=operator.itemgetter(0))[1]
    if unexplained is not None:
        raise ValueError(unexplained)
    return merge_results(((scanned, alerts) for _, scanned, alerts in outcomes), limit)
