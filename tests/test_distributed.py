"""The Dask scan answers, byte for byte, what one radar's "scan" answers."""

import gzip
import json
import os
import random
import signal
import threading
import time
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")

from zolvar_radar import Radar, cli, save_state, scan_files  # noqa: E402
from zolvar_radar import distributed as zd  # noqa: E402
from zolvar_radar.adapters import FormatError  # noqa: E402

SIGNALS = [
    {"kind": "oi_delta", "params": [3, 0.05], "weight": 2},
    {"kind": "book_imbalance", "params": [0.5]},
    {"kind": "liq_cluster", "params": [4, 5000]},
    {"kind": "funding_flip", "params": [0.0005]},
]
# prefixes of each other, non-ASCII, characters JSON escapes, the empty name
ODD_SYMBOLS = ["A", "AB", "ABC", "B", "", "é-PERP", "比特币", 'q"uote', "new\nline", "ÑANDÚ", "Z" * 40]


def event(rng, ts):
    kind = rng.choice(["derivatives", "orderbook", "liquidation"])
    if kind == "derivatives":
        fields = [round(rng.uniform(90, 110), 3), round(rng.uniform(-4e-4, 4e-4), 7), round(rng.uniform(99, 101), 2)]
    elif kind == "orderbook":
        fields = [round(rng.uniform(1, 50), 2), round(rng.uniform(1, 50), 2), 99.5, 100.5]
    else:
        fields = [rng.choice(["buy", "sell"]), round(rng.paretovariate(2) * 500, 2), 100.0]
    if rng.random() < 0.1:
        return [kind, ts, *fields]  # the radar's array form
    names = {"derivatives": ["open_interest", "funding_rate", "mark_price"],
             "orderbook": ["bid_volume", "ask_volume", "best_bid", "best_ask"],
             "liquidation": ["side", "qty", "price"]}[kind]
    return {"kind": kind, "ts": ts, **dict(zip(names, fields))}


def workload(seed, n_symbols=120, n_events=3000, tied=0):
    """(symbol, event) pairs in input order; `tied` symbols share one event stream, so one severity."""
    rng = random.Random(seed)
    symbols = ODD_SYMBOLS + [f"S{i:04d}" for i in range(n_symbols)]
    # timestamps neither unique nor increasing: the order of application decides
    pairs = [(rng.choice(symbols), event(rng, rng.randrange(10_000))) for _ in range(n_events)]
    if tied:
        # every signal at full strength: severity 1.0, the top of the ranking
        stream = [{"kind": "derivatives", "ts": 20_000 + k, "open_interest": 100 * 1.1**k,
                   "funding_rate": 0.0005 * (-1) ** k, "mark_price": 100 - k} for k in range(5)]
        stream += [{"kind": "liquidation", "ts": 20_010 + k, "side": "sell", "qty": 3000, "price": 95}
                   for k in range(4)]
        stream.append({"kind": "orderbook", "ts": 20_100, "bid_volume": 40.0, "ask_volume": 1.0,
                       "best_bid": 1.0, "best_ask": 2.0})
        twins = [f"TIE{i}" for i in range(tied)] + [f"TIE{i}X" for i in range(tied // 2)]
        for k, ev in enumerate(stream):
            for twin in twins:
                pairs.insert(rng.randrange(len(pairs) + 1) if k == 0 else len(pairs), (twin, ev))
    return pairs


def single_scan(spec, pairs):
    groups = {}
    for symbol, ev in pairs:
        groups.setdefault(symbol, []).append(ev)
    return Radar(json.dumps(spec)).command(json.dumps({"cmd": "scan", "events": groups}))


def line(symbol, ev):
    return json.dumps({"symbol": symbol, **ev} if isinstance(ev, dict) else {"symbol": symbol, "event": ev})


def write_files(directory, pairs, n_files, compress=()):
    """Consecutive runs of the pairs in n files: most symbols have events in several of them."""
    paths = []
    size = -(-len(pairs) // n_files)
    for k in range(n_files):
        text = "".join(line(s, e) + "\n" for s, e in pairs[k * size:(k + 1) * size]).encode()
        path = directory / f"part{k:02d}.jsonl{'.gz' if k in compress else ''}"
        path.write_bytes(gzip.compress(text) if k in compress else text)
        paths.append(str(path))
    return paths


@pytest.fixture(scope="module")
def client():
    # worker processes, as a real cluster: every task input and output is pickled
    with zd.local_cluster(processes=True, n_workers=2) as cluster, distributed.Client(cluster) as c:
        yield c


# --- the same answer -------------------------------------------------------------

PAIR_CASES = [
    # shards, limit, tied symbols
    (1, None, 0),
    (2, 5, 6),
    (7, 10, 8),
]


def check_workload(spec, pairs, limit, tied):
    everything = json.loads(single_scan({**spec, "limit": None}, pairs))["alerts"]
    # the limit really cuts, or really does not
    assert limit is None or (limit < len(everything) if limit < 100 else limit > len(everything))
    if tied:
        assert {a["severity"] for a in everything if a["symbol"].startswith("TIE")} == {1.0}
        if limit is not None:  # the cut falls inside the tie
            assert everything[limit - 1]["severity"] == everything[limit]["severity"]


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("shards, limit, tied", PAIR_CASES)
def test_pairs_give_the_text_of_one_scan(client, seed, shards, limit, tied):
    pairs = workload(seed, tied=tied)
    spec = {"signals": SIGNALS, "threshold": 0.2, "limit": limit}
    check_workload(spec, pairs, limit, tied)
    got = zd.scan(iter(pairs), json.dumps(spec), client=client, partitions=shards, chunk=700)
    assert got == single_scan(spec, pairs)


FILE_CASES = [
    # source, files, gzip ones, partitions, range bytes, limit, tied symbols
    ("files", 5, {1, 3}, 2, zd.RANGE_BYTES, 3, 0),
    ("files", 1, (), None, 1000, 10_000, 0),      # one file in many ranges
    ("files", 5, {0}, 7, 3000, 4, 8),             # ranges of plain files, a gzip one whole
    ("files", 9, (), 3, 1500, None, 8),
    ("glob", 5, {1, 3}, None, 2500, 12, 0),
]


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("source, n_files, compress, partitions, range_bytes, limit, tied", FILE_CASES)
def test_files_give_the_text_of_one_scan(client, tmp_path, seed, source, n_files, compress, partitions,
                                         range_bytes, limit, tied):
    pairs = workload(seed, tied=tied)
    spec = {"signals": SIGNALS, "threshold": 0.2, "limit": limit}
    check_workload(spec, pairs, limit, tied)
    paths = write_files(tmp_path, pairs, n_files, compress=compress)
    if n_files > 1:
        spread = {s for s, _ in pairs[:len(pairs) // 5]} & {s for s, _ in pairs[-len(pairs) // 5:]}
        assert len(spread) > 20  # symbols whose events sit in several files
    where = paths if source == "files" else str(tmp_path / "part*.jsonl*")
    got = zd.scan(where, json.dumps(spec), client=client, partitions=partitions, range_bytes=range_bytes)
    assert got == single_scan(spec, pairs)


@pytest.mark.parametrize("seed", range(6))
def test_any_split_into_files_and_ranges(client, tmp_path, seed):
    rng = random.Random(seed)
    pairs = workload(100 + seed, n_events=300)
    cuts = sorted(rng.sample(range(1, len(pairs)), rng.randrange(0, 6)))
    paths = []
    for k, (a, b) in enumerate(zip([0, *cuts], [*cuts, len(pairs)])):
        # blank lines and CRLF endings between the events: lines all the same
        text = "".join(line(s, e) + rng.choice(["\n", "\r\n", "\n\n"]) for s, e in pairs[a:b]).encode()
        gz = rng.random() < 0.3
        path = tmp_path / f"split{k}.jsonl{'.gz' if gz else ''}"
        path.write_bytes(gzip.compress(text) if gz else text)
        paths.append(str(path))
    spec = {"signals": SIGNALS, "threshold": 0.1}
    # ranges cut at any byte: inside a line, a multi-byte character or a CRLF
    # (ranges shorter than a line: most own none)
    range_bytes = rng.choice([61, 500, 4096, zd.RANGE_BYTES])
    got = zd.scan(paths, json.dumps(spec), client=client, range_bytes=range_bytes)
    assert got == single_scan(spec, pairs)


@pytest.mark.parametrize("seed, width", [(0, 700), (1, 3000)])
def test_bars_join_where_files_and_ranges_meet(client, tmp_path, seed, width):
    pairs = workload(200 + seed, n_events=600, n_symbols=10)
    paths = write_files(tmp_path, pairs, 3)
    spec_text = json.dumps({"signals": SIGNALS, "threshold": 0.1})
    whole = scan_files(paths, spec_text, bar=width)
    dropped = []
    got = zd.scan(paths, spec_text, client=client, range_bytes=97, bar=width, dropped=dropped)
    assert whole.dropped > 0 and (got, dropped) == (whole.text, [whole.dropped])


def test_bars_stay_open_through_a_saved_state(client, tmp_path):
    pairs = workload(300, n_events=600, n_symbols=10)
    paths = write_files(tmp_path, pairs, 2)
    spec_text = json.dumps({"signals": SIGNALS, "threshold": 0.1})
    first = scan_files(paths[:1], spec_text, bar=3000, keep_state=True)
    saved = bytearray()
    got = zd.scan(paths[1:], spec_text, client=client, range_bytes=97, bar=3000, state=first.saved_state,
                  saved_state=saved)
    whole = scan_files(paths, spec_text, bar=3000, keep_state=True)
    assert got == whole.text and bytes(saved) == whole.saved_state


def test_one_worker_of_the_default_cluster(tmp_path):
    pairs = workload(11, tied=4)
    spec = {"signals": SIGNALS, "threshold": 0.2, "limit": 6}
    paths = write_files(tmp_path, pairs, 3, compress={2})
    assert zd.scan(paths, spec, range_bytes=900) == single_scan(spec, pairs)


def test_cut_parts_covers_every_byte_once(tmp_path):
    plain = tmp_path / "a.jsonl"
    plain.write_bytes(b"x" * 10_001)
    packed = tmp_path / "b.jsonl.gz"
    packed.write_bytes(gzip.compress(b"y" * 50_000))
    parts = zd.cut_parts([str(plain), str(packed)], 2, 3000)
    ranges = [part for index, part in parts if index == 0]
    assert [b - a for _, a, b in ranges] == [2500, 2500, 2500, 2501]
    assert all(x[2] == y[1] for x, y in zip(ranges, ranges[1:])) and ranges[-1][2] == 10_001
    assert parts[-1] == (1, str(packed))  # a gzip file is read whole
    # without a small range size, files are cut only to give every thread work
    assert len(zd.cut_parts([str(plain)], 8, zd.RANGE_BYTES)) == 1


@pytest.mark.parametrize("sizes, groups, expected", [
    # bytes of each file, runs asked for, the runs: (file, begin, end) or the whole file
    ([10_000], 2, [[(0, 0, 5000)], [(0, 5000, 10_000)]]),
    ([10_000], 1, [[(0, 0, 10_000)]]),  # one file's ranges join again
    ([3000, 3000, 3000, 3000], 2, [[0, 1], [2, 3]]),
    ([9000, 1000, 1000, 1000], 2, [[(0, 0, 6000)], [(0, 6000, 9000), 1, 2, 3]]),
    ([100], 4, [[0]]),  # fewer parts than runs: no empty run
])
def test_parts_group_into_runs_of_equal_bytes_in_order(tmp_path, sizes, groups, expected):
    paths = []
    for k, size in enumerate(sizes):
        paths.append(str(tmp_path / f"{k}.jsonl"))
        Path(paths[-1]).write_bytes(b"x" * size)
    parts = zd.cut_parts(paths, 4, 3000)
    runs = zd.group_parts(parts, groups)
    shown = [[index if part == paths[index] else (index, part[1], part[2]) for index, part in run] for run in runs]
    assert shown == expected


def test_spec_in_array_form_and_as_a_value(client, tmp_path):
    pairs = workload(3, tied=4)
    spec = [[], [], SIGNALS, 0.2, 3]
    assert zd.scan(pairs, spec, client=client, partitions=3) == single_scan(spec, pairs)
    assert zd.scan(write_files(tmp_path, pairs, 2), spec, client=client) == single_scan(spec, pairs)


def test_a_shard_task_run_again_gives_the_same_outcome():
    # Dask reruns a task whose worker died, on the very same inputs where they survived
    pairs = workload(9, n_events=600)
    spec = json.dumps({"signals": SIGNALS, "threshold": 0.1})
    pieces = [piece[0] for piece in zd._pair_chunks(pairs, 1, 150)]
    first = zd.scan_shard(spec, *pieces)
    assert zd.scan_shard(spec, *pieces) == first
    assert zd.merge_results([first[1:]], None) == single_scan(json.loads(spec), pairs)


def test_shards_are_the_same_in_every_process(client):
    # str hashes are salted per process; the shard of a symbol must not be
    names = ODD_SYMBOLS + [f"S{i}" for i in range(200)]
    here = [zd.shard_of(s, 7) for s in names]
    assert client.submit(lambda: [zd.shard_of(s, 7) for s in names], pure=False).result() == here
    assert len(set(here)) == 7


# --- saved states --------------------------------------------------------------------


def test_files_continue_a_saved_state_at_every_boundary(client, tmp_path):
    pairs = workload(12, tied=4)
    spec = json.dumps({"signals": SIGNALS, "threshold": 0.2, "limit": 9})
    paths = write_files(tmp_path, pairs, 4, compress={2})
    whole = scan_files(paths, spec, keep_radar=True)
    assert whole.text == single_scan(json.loads(spec), pairs)
    for k in range(len(paths) + 1):
        earlier = save_state(scan_files(paths[:k], spec, keep_radar=True).radar)
        saved = bytearray()
        got = zd.scan(paths[k:], spec, client=client, state=earlier, saved_state=saved, range_bytes=2000)
        assert got == whole.text
        assert saved == save_state(whole.radar)  # the state a single process would save


@pytest.mark.parametrize("state, error", [
    ("window", "state window 4 does not match the specification's window 5"),
    ("cut", "state truncated"),
    ("text", "not a zolvar_radar state"),
])
def test_unusable_state_is_refused_before_any_work(tmp_path, state, error):
    spec = {"signals": SIGNALS}
    other = Radar(json.dumps({"signals": [{"kind": "oi_delta", "params": [3, 0.05]}]}))
    data = {"window": save_state(other), "cut": save_state(Radar(json.dumps(spec)))[:30], "text": b"{}"}[state]
    paths = write_files(tmp_path, workload(4, n_events=100), 1)
    # no cluster is reachable at this address: the call must fail before trying it
    with pytest.raises(ValueError, match=f"^{error}$"):
        zd.scan(paths, spec, client="tcp://127.0.0.1:9", state=data)


# --- bad input ---------------------------------------------------------------------

FULL_BOOK = '"bid_volume":1,"ask_volume":1,"best_bid":1,"best_ask":2'
BAD_LINES = [
    ('{"symbol":"S0001","kind":"orderbook","ts":1}', "parse: missing field `bid_volume`"),
    ('{"symbol":"S0002","event":{"kind":"trade","ts":1}}',
     "parse: unknown variant `trade`, expected one of `derivatives`, `orderbook`, `liquidation`"),
    ('{"symbol":"S0003","kind":"orderbook","ts":1,"bid_volume":1e400}',
     "parse: number out of range at line 1 column 62"),
    ('{"symbol":"S0004","kind":"orderbook","ts":1,' + FULL_BOOK + "} x",
     "parse: trailing characters at line 1 column 102"),
    ("not json", "parse: expected ident at line 1 column 2"),
]


@pytest.mark.parametrize("range_bytes", [zd.RANGE_BYTES, 700])
@pytest.mark.parametrize("bad, error", BAD_LINES)
def test_bad_line_names_file_and_line(client, tmp_path, capsys, bad, error, range_bytes):
    paths = write_files(tmp_path, workload(4), 4)
    # the same fault further on in a later file must not be the one reported
    for path, number in ((Path(paths[1]), 123), (Path(paths[3]), 5)):
        lines = path.read_text().splitlines()
        lines.insert(number - 1, bad)
        path.write_text("\n".join(lines) + "\n")
    with pytest.raises(FormatError) as caught:
        # in ranges, line 123 is far into a later range: numbered from the file's start all the same
        zd.scan(paths, json.dumps({"signals": SIGNALS}), client=client, range_bytes=range_bytes)
    assert str(caught.value) == f"{paths[1]}:123: {error}"

    # the command line says the same with and without --dask
    spec_file = tmp_path / "spec.json"
    spec_file.write_text(json.dumps({"signals": SIGNALS, "threshold": 0.1}))  # no warning to print
    said = []
    for dask in ([], ["--dask", client.scheduler.address]):
        assert cli.main(["scan", "--spec", str(spec_file), *dask, *paths]) == 2
        out, err = capsys.readouterr()
        said.append((out, "".join(line for line in err.splitlines(True) if not line.startswith("  hint: "))))
    assert said[0] == said[1] == ("", f"{paths[1]}:123: {error}\n")


def test_event_the_reader_passes_but_the_radar_refuses(client, tmp_path, capsys):
    # a tardis timestamp beyond 64 bits is refused on the line that holds it
    csv = tmp_path / "binance-futures_derivative_ticker.csv"
    tardis_ticker(csv)
    csv.write_text(csv.read_text().replace(",9003000,", ",99999999999999999999999,"))  # line 6
    paths = [*write_files(tmp_path, workload(8, n_events=500), 2), str(csv)]
    spec_file = tmp_path / "spec.json"
    spec_file.write_text(json.dumps({"signals": SIGNALS, "threshold": 0.1}))  # no warning to print
    said = []
    for dask in ([], ["--dask", client.scheduler.address]):
        assert cli.main(["scan", "--spec", str(spec_file), *dask, *paths]) == 2
        said.append(capsys.readouterr().err)
    assert said[0] == said[1] == f"{csv}:6: timestamp: out of range: '99999999999999999999999'\n"


def test_refused_event_of_an_iterable_is_named_by_position(client):
    pairs = workload(5)
    pairs.insert(2500, ("S0007", {"kind": "liquidation", "ts": 1, "side": "up", "qty": 1, "price": 1}))
    pairs.insert(1500, ("S0011", '{"kind":"orderbook","ts":1,"bid_volume":1}'))  # an event's text
    with pytest.raises(FormatError, match=r"^<events>:1501: parse: missing field `ask_volume`$"):
        zd.scan(pairs, {"signals": SIGNALS}, client=client, partitions=7, chunk=1000)


@pytest.mark.parametrize("source, error", [
    (["nowhere.jsonl"], zd.InputError),
    ("nowhere/*.jsonl", zd.InputError),
    (["-"], zd.InputError),
    ([("S", {"kind": "orderbook"}, 3)], TypeError),
    ([(7, {"kind": "orderbook"})], TypeError),
])
def test_unusable_sources(client, source, error):
    with pytest.raises(error):
        zd.scan(source, {"signals": SIGNALS}, client=client)


@pytest.mark.parametrize("spec, options", [
    ({"signals": []}, {}),
    ({"signals": SIGNALS, "limit": 0}, {}),
    ({"signals": SIGNALS}, {"partitions": 0}),
    ({"signals": SIGNALS}, {"range_bytes": 0}),
    ({"signals": SIGNALS}, {"format": "csv"}),
    ({"signals": SIGNALS}, {"state": b"\0" * 64}),
])
def test_refused_before_any_work(tmp_path, spec, options):
    paths = write_files(tmp_path, workload(4, n_events=50), 1)
    # no cluster is reachable at this address: the call must fail before trying it
    with pytest.raises(ValueError):
        zd.scan(paths, spec, client="tcp://127.0.0.1:9", **options)


def test_file_gone_before_its_task_reads_it(client, tmp_path, monkeypatch):
    spec = json.dumps({"signals": SIGNALS})
    paths = write_files(tmp_path, workload(4, n_events=300), 3)
    # the caller saw every file; a worker then finds one gone: the call fails, naming it
    parts = zd.cut_parts(paths, 1, 2000)
    monkeypatch.setattr(zd, "cut_parts", lambda *_: parts)
    os.unlink(paths[1])
    outcomes = [zd.read_part(part, spec, None, False) for _, part in parts]
    gone = [state is None and report[3].startswith(f"{paths[1]}: ") for state, report in outcomes]
    assert gone == [index == 1 for index, _ in parts]
    with pytest.raises(zd.InputError, match=f"^{paths[1]}: "):
        zd._scan_files(client, paths, spec, 1, 2000, None, False, None, False, None)


def test_skipped_tardis_rows_and_notional_quantities(client, tmp_path):
    ticker = tardis_ticker(tmp_path / "binance-futures_derivative_ticker.csv")
    liquidations = tmp_path / "binance-futures_liquidations.csv"
    rows = [f"binance-futures,S0001,{(9000 + k) * 1000},{(9000 + k) * 1000 + 5},id{k},sell,{2000 + k},{3 + k}"
            for k in range(30)]
    rows.insert(7, "binance-futures,S0001,9100000,9100005,idx,sell,,3")  # no price
    liquidations.write_text("exchange,symbol,timestamp,local_timestamp,id,side,price,amount\n" + "\n".join(rows))
    paths = [ticker, str(liquidations)]
    spec = json.dumps({"signals": [*SIGNALS, {"kind": "liq_cluster", "params": [5, 40_000]}], "threshold": 0})
    texts = []
    for notional in (False, True):
        skipped: dict = {}
        got = zd.scan(paths, spec, client=client, notional=notional, skipped_rows=skipped, range_bytes=300)
        single = scan_files(paths, spec, notional=notional)
        assert got == single.text and skipped == single.skipped
        texts.append(got)
    assert texts[0] != texts[1]  # quantities in the quote currency reach the threshold


# --- the cluster ---------------------------------------------------------------------


def test_a_lost_worker_changes_nothing(client, tmp_path):
    pairs = workload(6, n_symbols=400, n_events=60_000)
    spec = json.dumps({"signals": SIGNALS, "threshold": 0.1})
    paths = write_files(tmp_path, pairs, 6)
    expected = single_scan(json.loads(spec), pairs)
    pids = client.run(os.getpid)
    result = {}
    # many small ranges: the call lasts long enough to lose a worker in the middle of it
    thread = threading.Thread(target=lambda: result.setdefault(
        "text", zd.scan(paths, spec, client=client, range_bytes=16_384)))
    thread.start()
    victim, deadline = None, time.monotonic() + 20
    while victim is None and time.monotonic() < deadline:
        held = [w for w, keys in client.has_what().items() if any("zolvar-read" in str(k) for k in keys)]
        victim = held[0] if held else time.sleep(0.005)
    assert victim is not None
    # killed holding states that are read: their ranges are read again elsewhere
    os.kill(pids[victim], signal.SIGKILL)
    thread.join(60)
    client.wait_for_workers(2, timeout=30)
    assert result["text"] == expected


def test_local_cluster_listens_on_loopback_only():
    psutil = pytest.importorskip("psutil")
    for processes in (False, True):
        with zd.local_cluster(processes, n_workers=1) as cluster, distributed.Client(cluster):
            me = psutil.Process()
            listening = [c.laddr.ip for p in [me, *me.children(recursive=True)]
                         for c in p.net_connections(kind="inet") if c.status == psutil.CONN_LISTEN]
            assert listening and set(listening) == {"127.0.0.1"}


# --- the command line ----------------------------------------------------------------


def tardis_ticker(path):
    header = ("exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,"
              "predicted_funding_rate,open_interest,last_price,index_price,mark_price")
    rows = [f"binance-futures,S0001,{(9000 + k) * 1000},{(9000 + k) * 1000 + 5},0,0.0004,0.0001,"
            f"{100 + 3 * k},100,100,{100 - k}" for k in range(5)]
    rows.insert(2, "binance-futures,S0001,9001500,9001505,0,0.0001,0.0001,,100,100,100")  # no open interest
    path.write_text("\n".join([header, *rows]) + "\n")
    return str(path)


@pytest.mark.parametrize("where", ["address", "flag before files", "flag after files"])
def test_command_line_dask_scan_prints_the_same(client, tmp_path, capsys, where):
    paths = write_files(tmp_path, workload(7, n_events=800), 3, compress={2})
    paths.append(tardis_ticker(tmp_path / "binance-futures_derivative_ticker.csv"))
    spec_file = tmp_path / "spec.json"
    spec_file.write_text(json.dumps({"signals": SIGNALS, "threshold": 0.1, "limit": 9}))
    args = {"address": ["--dask", client.scheduler.address, *paths],
            "flag before files": ["--dask", *paths],
            "flag after files": [*paths, "--dask"]}[where]
    printed = []
    for argv in (["scan", "--spec", str(spec_file), *paths], ["scan", "--spec", str(spec_file), *args]):
        for form in ([], ["--json"]):
            assert cli.main(argv + form) == 0
            printed.append(capsys.readouterr())
    assert printed[:2] == printed[2:]
    assert "skipped 1 row (no open_interest: 1)" in printed[0].err


@pytest.mark.parametrize("args, message", [
    (["--dask", "--skip-bad"], "--skip-bad cannot be used with --dask\n"),
    (["--dask", "-"], "--dask reads files on the workers: standard input (-) cannot be used\n"),
])
def test_command_line_dask_refusals(capsys, args, message):
    assert cli.main(["scan", *args]) == 2
    assert capsys.readouterr().err == message


# The states each merging or scoring task was handed (recorded by reference: tasks are pickled).
SEEN_STATES: list = []
REAL_TASKS = {"merge_states": zd.merge_states, "merge_and_score": zd.merge_and_score}


def _record(args):
    SEEN_STATES.extend(len(a[0]) for a in args if isinstance(a, tuple) and isinstance(a[0], bytes))
    SEEN_STATES.extend(len(a) for a in args if isinstance(a, bytes))


def traced_merge_states(*args):
    _record(args)
    return REAL_TASKS["merge_states"](*args)


def traced_merge_and_score(*args):
    _record(args)
    return REAL_TASKS["merge_and_score"](*args)


@pytest.mark.parametrize("bar", [None, 500])
def test_partitions_hold_their_share_of_the_states(tmp_path, monkeypatch, bar):
    from zolvar_radar._engine import engine

    spec = {"signals": SIGNALS, "threshold": 0, "limit": 25}
    pairs = workload(11, n_symbols=600, n_events=6000)
    paths = write_files(tmp_path, pairs, 6)
    whole = engine.FileScan(paths, json.dumps(spec), None, False, False, 1, bar=bar or 0, score=False)
    whole.run()
    share = len(whole.partial_state()) / 4
    SEEN_STATES.clear()
    monkeypatch.setattr(zd, "merge_states", traced_merge_states)
    monkeypatch.setattr(zd, "merge_and_score", traced_merge_and_score)
    with zd.local_cluster(processes=False) as cluster, distributed.Client(cluster) as c:
        text = zd.scan(paths, spec, client=c, partitions=4, range_bytes=40_000, bar=bar)
    assert text == scan_files(paths, json.dumps(spec), bar=bar).text
    # every merging and scoring task held at most about a quarter of the symbols' states
    assert len(SEEN_STATES) >= 6 and max(SEEN_STATES) < 1.5 * share
