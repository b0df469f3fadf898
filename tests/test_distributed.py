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

from zolvar_radar import Radar, cli  # noqa: E402
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

CASES = [
    # source, shards, limit, tied symbols
    ("pairs", 1, None, 0),
    ("pairs", 2, 5, 6),
    ("files", 2, 3, 0),
    ("files", 7, 10_000, 0),
    ("files", 7, 4, 8),
    ("glob", 7, None, 8),
    ("glob", None, 12, 0),
]


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("source, shards, limit, tied", CASES)
def test_same_text_as_one_scan(client, tmp_path, seed, source, shards, limit, tied):
    pairs = workload(seed, tied=tied)
    spec = {"signals": SIGNALS, "threshold": 0.2}
    if limit is not None:
        spec["limit"] = limit
    expected = single_scan(spec, pairs)
    everything = json.loads(single_scan({**spec, "limit": None}, pairs))["alerts"]
    # the limit really cuts, or really does not
    assert limit is None or (limit < len(everything) if limit < 100 else limit > len(everything))
    if tied:
        assert {a["severity"] for a in everything if a["symbol"].startswith("TIE")} == {1.0}
        if limit is not None:  # the cut falls inside the tie
            assert everything[limit - 1]["severity"] == everything[limit]["severity"]

    if source == "pairs":
        got = zd.scan(iter(pairs), json.dumps(spec), client=client, partitions=shards, chunk=700)
    else:
        paths = write_files(tmp_path, pairs, 5, compress={1, 3})
        spread = {s for s, _ in pairs[:len(pairs) // 5]} & {s for s, _ in pairs[-len(pairs) // 5:]}
        assert len(spread) > 20  # symbols whose events sit in several files
        where = paths if source == "files" else str(tmp_path / "part*.jsonl*")
        got = zd.scan(where, json.dumps(spec), client=client, partitions=shards)
    assert got == expected


def test_spec_in_array_form_and_as_a_value(client):
    pairs = workload(3, tied=4)
    spec = [[], [], SIGNALS, 0.2, 3]
    assert zd.scan(pairs, spec, client=client, partitions=3) == single_scan(spec, pairs)


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


@pytest.mark.parametrize("bad, error", BAD_LINES)
def test_bad_line_names_file_and_line(client, tmp_path, capsys, bad, error):
    paths = write_files(tmp_path, workload(4), 4)
    # the same fault further on in a later file must not be the one reported
    for path, number in ((Path(paths[1]), 123), (Path(paths[3]), 5)):
        lines = path.read_text().splitlines()
        lines.insert(number - 1, bad)
        path.write_text("\n".join(lines) + "\n")
    with pytest.raises(FormatError) as caught:
        zd.scan(paths, json.dumps({"signals": SIGNALS}), client=client, partitions=7)
    assert str(caught.value) == f"{paths[1]}:123: {error}"

    # the command line says the same with and without --dask
    spec_file = tmp_path / "spec.json"
    spec_file.write_text(json.dumps({"signals": SIGNALS}))
    said = []
    for dask in ([], ["--dask", client.scheduler.address]):
        assert cli.main(["scan", "--spec", str(spec_file), *dask, *paths]) == 2
        said.append(capsys.readouterr())
    assert said[0] == said[1] == ("", f"{paths[1]}:123: {error}\n")


def test_event_the_reader_passes_but_the_radar_refuses(client, tmp_path, capsys):
    # a tardis timestamp beyond 64 bits is refused on the line that holds it
    csv = tmp_path / "binance-futures_derivative_ticker.csv"
    tardis_ticker(csv)
    csv.write_text(csv.read_text().replace(",9003000,", ",99999999999999999999999,"))  # line 6
    paths = [*write_files(tmp_path, workload(8, n_events=500), 2), str(csv)]
    spec_file = tmp_path / "spec.json"
    spec_file.write_text(json.dumps({"signals": SIGNALS}))
    said = []
    for dask in ([], ["--dask", client.scheduler.address]):
        assert cli.main(["scan", "--spec", str(spec_file), *dask, *paths]) == 2
        said.append(capsys.readouterr().err)
    assert said[0] == f"{csv}:6: timestamp: out of range: '99999999999999999999999'\n"
    assert said[1].startswith(f"{csv}:6: ")


def test_refused_event_of_an_iterable_is_named_by_position(client):
    pairs = workload(5)
    pairs.insert(2500, ("S0007", {"kind": "liquidation", "ts": 1, "side": "up", "qty": 1, "price": 1}))
    pairs.insert(1500, ("S0011", '{"kind":"orderbook","ts":1,"bid_volume":1}'))  # an event's text
    with pytest.raises(FormatError, match=r"^<events>:1501: parse: missing field `ask_volume`$"):
        zd.scan(pairs, {"signals": SIGNALS}, client=client, partitions=7, chunk=1000)


@pytest.mark.parametrize("source, error", [
    (["nowhere.jsonl"], zd.InputError),
    ("nowhere/*.jsonl", zd.InputError),
    ([("S", {"kind": "orderbook"}, 3)], TypeError),
    ([(7, {"kind": "orderbook"})], TypeError),
])
def test_unusable_sources(client, source, error):
    with pytest.raises(error):
        zd.scan(source, {"signals": SIGNALS}, client=client)


@pytest.mark.parametrize("spec, partitions", [
    ({"signals": []}, None),
    ({"signals": SIGNALS, "limit": 0}, None),
    ({"signals": SIGNALS}, 0),
])
def test_refused_before_any_work(spec, partitions):
    # no cluster is reachable at this address: the call must fail before trying it
    with pytest.raises(ValueError):
        zd.scan([], spec, client="tcp://127.0.0.1:9", partitions=partitions)


# --- the cluster ---------------------------------------------------------------------


def test_a_lost_worker_changes_nothing(client, tmp_path):
    pairs = workload(6, n_symbols=400, n_events=60_000)
    spec = json.dumps({"signals": SIGNALS, "threshold": 0.1})
    paths = write_files(tmp_path, pairs, 6)
    expected = single_scan(json.loads(spec), pairs)
    pids = client.run(os.getpid)
    result = {}
    thread = threading.Thread(target=lambda: result.setdefault("text", zd.scan(paths, spec, client=client)))
    thread.start()
    victim, deadline = None, time.monotonic() + 20
    while victim is None and time.monotonic() < deadline:
        busy = [w for w, keys in client.processing().items() if any("zolvar-shard" in str(k) for k in keys)]
        victim = busy[0] if busy else time.sleep(0.005)
    assert victim is not None
    # killed while scanning a shard: the pieces it held are read again elsewhere
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
