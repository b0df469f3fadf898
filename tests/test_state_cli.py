"""`zolvar-radar scan --state/--save-state`: a scan resumed from a saved state
prints what one scan over all the files prints."""

import json
import random
import sys

import pytest

from zolvar_radar import Radar, cli, save_state

SIGNALS = [
    {"kind": "oi_delta", "params": [3, 0.05], "weight": 2},
    {"kind": "book_imbalance", "params": [0.5]},
    {"kind": "liq_cluster", "params": [4, 20_000]},
    {"kind": "funding_flip", "params": [0.0005]},
]
SYMBOLS = ["BTCUSDT", "ETHUSDT", "é-PERP", "比特币", "A", "AB"] + [f"S{i:03d}" for i in range(40)]


def day(rng, k, n=400):
    """One file's lines: every symbol's events continue from the day before."""
    lines = []
    for i in range(n):
        symbol, ts = rng.choice(SYMBOLS), (k * n + i) * 1000
        kind = rng.choice(["derivatives", "orderbook", "liquidation"])
        if kind == "derivatives":
            fields = {"open_interest": round(rng.uniform(90, 110), 2), "funding_rate": round(rng.uniform(-1e-3, 1e-3), 6),
                      "mark_price": round(rng.uniform(99, 101), 2)}
        elif kind == "orderbook":
            fields = {"bid_volume": round(rng.uniform(1, 50), 1), "ask_volume": round(rng.uniform(1, 50), 1),
                      "best_bid": 99.5, "best_ask": 100.5}
        else:
            fields = {"side": rng.choice(["buy", "sell"]), "qty": round(rng.paretovariate(2) * 3000, 2), "price": 100.0}
        lines.append(json.dumps({"symbol": symbol, "kind": kind, "ts": ts, **fields}))
    return "\n".join(lines) + "\n"


@pytest.fixture
def days(tmp_path):
    rng = random.Random(5)
    paths = []
    for k in range(4):
        path = tmp_path / f"day{k}.jsonl"
        path.write_text(day(rng, k))
        paths.append(str(path))
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps({"signals": SIGNALS, "threshold": 0.05, "limit": 12}))
    return paths, str(spec)


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    # the hint under a refused line is not what these tests look at
    return status, out, "".join(line for line in err.splitlines(True) if not line.startswith("  hint: "))


@pytest.fixture(scope="module")
def dask_address():
    distributed = pytest.importorskip("distributed")
    from zolvar_radar import distributed as zd

    with zd.local_cluster(processes=False, n_workers=1) as cluster, distributed.Client(cluster):
        yield cluster.scheduler_address


@pytest.mark.parametrize("dask", [False, True])
@pytest.mark.parametrize("form", [[], ["--json"]])
def test_resumed_day_by_day_prints_one_scan_of_all_days(days, tmp_path, capsys, request, form, dask):
    paths, spec = days
    extra = ["--dask", request.getfixturevalue("dask_address")] if dask else []
    whole = run(capsys, "scan", "--spec", spec, *form, *paths)
    assert whole[0] == 0 and "ETHUSDT" in whole[1]
    # a state saved after each file, each file continuing the state before it
    state = None
    for k, path in enumerate(paths):
        saved = str(tmp_path / f"after{k}.state")
        start = ["--state", state] if state else []
        status, out, _ = run(capsys, "scan", "--spec", spec, *form, *extra, *start, "--save-state", saved, path)
        assert status == 0
        state = saved
    assert out == whole[1]
    # from the state at every boundary, the files left
    for k in range(len(paths)):
        state = str(tmp_path / f"after{k}.state")
        assert run(capsys, "scan", "--spec", spec, *form, *extra, "--state", state, *paths[k + 1:]) == whole


def test_saved_states_are_the_same_bytes_with_dask(days, tmp_path, capsys, dask_address):
    paths, spec = days
    one, cluster = tmp_path / "one.state", tmp_path / "cluster.state"
    assert run(capsys, "scan", "--spec", spec, "--save-state", str(one), *paths)[0] == 0
    assert run(capsys, "scan", "--spec", spec, "--dask", dask_address, "--save-state", str(cluster), *paths)[0] == 0
    assert one.read_bytes() == cluster.read_bytes()
    # the state of a radar that got the same events by command
    radar = Radar(open(spec).read())
    for path in paths:
        for text in open(path):
            event = json.loads(text)
            radar.command(json.dumps({"cmd": "feed", "symbol": event.pop("symbol"), "event": event}))
    assert one.read_bytes() == save_state(radar)


def damage(data: bytes, how: str) -> bytes:
    if how == "cut":
        return data[: len(data) // 2]
    if how == "flipped":
        return data[:40] + bytes([data[40] ^ 1]) + data[41:]
    return {"empty": b"", "text": b'{"alerts":[]}\n'}[how]


@pytest.mark.parametrize("dask", [False, True])
@pytest.mark.parametrize("how, error", [
    ("cut", "state truncated"),
    ("flipped", "state checksum mismatch"),
    ("empty", "state truncated"),
    ("text", "not a zolvar_radar state"),
    ("window", "state window 4 does not match the specification's window 5"),
])
def test_unusable_state_file_is_one_line(days, tmp_path, capsys, request, dask, how, error):
    paths, spec = days
    good = tmp_path / "good.state"
    assert run(capsys, "scan", "--spec", spec, "--save-state", str(good), paths[0])[0] == 0
    state = tmp_path / "bad.state"
    if how == "window":
        other = tmp_path / "other.json"
        other.write_text(json.dumps({"signals": [{"kind": "oi_delta", "params": [3, 0.05]}]}))
        assert run(capsys, "scan", "--spec", str(other), "--save-state", str(state), paths[0])[0] == 0
    else:
        state.write_bytes(damage(good.read_bytes(), how))
    extra = ["--dask", request.getfixturevalue("dask_address")] if dask else []
    assert run(capsys, "scan", "--spec", spec, *extra, "--state", str(state), *paths[1:]) == (2, "", f"{state}: {error}\n")


@pytest.mark.parametrize("dask", [False, True])
def test_failed_scan_leaves_the_saved_state_alone(days, tmp_path, capsys, request, dask):
    paths, spec = days
    extra = ["--dask", request.getfixturevalue("dask_address")] if dask else []
    state = tmp_path / "kept.state"
    state.write_bytes(b"yesterday")
    with open(paths[2], "a") as f:
        f.write("not json\n")
    status, out, err = run(capsys, "scan", "--spec", spec, *extra, "--save-state", str(state), *paths)
    assert (status, out) == (2, "") and err == f"{paths[2]}:401: parse: expected ident at line 1 column 2\n"
    assert state.read_bytes() == b"yesterday"
    assert sorted(p.name for p in tmp_path.iterdir() if "state" in p.name) == ["kept.state"]


@pytest.mark.parametrize("option, path, message", [
    ("--state", "missing.state", "missing.state: No such file or directory"),
    ("--save-state", "no/such/dir/out.state", "no/such/dir/out.state: No such file or directory"),
])
def test_state_file_that_cannot_be_used(days, tmp_path, capsys, monkeypatch, option, path, message):
    paths, spec = days
    monkeypatch.chdir(tmp_path)
    assert run(capsys, "scan", "--spec", spec, option, path, paths[0]) == (2, "", message + "\n")


def tardis_liquidations(path):
    rows = [f"binance-futures,BTCUSDT,{(9000 + k) * 1000},{(9000 + k) * 1000 + 5},id{k},sell,{60000 + k},0.{k + 1}"
            for k in range(30)]
    path.write_text("exchange,symbol,timestamp,local_timestamp,id,side,price,amount\n" + "\n".join(rows) + "\n")
    return str(path)


@pytest.mark.parametrize("dask", [False, True])
def test_notional_liquidation_quantities(tmp_path, capsys, request, dask):
    csv = tardis_liquidations(tmp_path / "binance-futures_liquidations.csv")
    spec = tmp_path / "spec.json"
    # 25 000 in the quote currency: reached by amounts near 1 BTC only as notional
    spec.write_text(json.dumps({"signals": [{"kind": "liq_cluster", "params": [5, 25_000]}], "threshold": 0}))
    extra = ["--dask", request.getfixturevalue("dask_address")] if dask else []
    printed = {}
    for notional in ([], ["--notional"]):
        status, out, _ = run(capsys, "scan", "--spec", str(spec), "--json", *extra, *notional, csv)
        assert status == 0
        printed[bool(notional)] = json.loads(out)["alerts"][0]["severity"]
    assert printed[False] < 0.01 and printed[True] == 1.0


def test_dask_without_its_extra_is_one_line(days, capsys, monkeypatch):
    paths, spec = days
    monkeypatch.setitem(sys.modules, "distributed", None)  # import distributed fails
    assert run(capsys, "scan", "--spec", spec, "--dask", *paths) == (
        2, "", "--dask needs Dask: pip install 'zolvar_radar[dask]'\n")


def test_a_state_is_scored_with_its_own_specification(days, tmp_path, capsys):
    paths, spec = days
    state = str(tmp_path / "s.state")
    assert run(capsys, "scan", "--spec", spec, "--save-state", state, paths[0])[0] == 0
    given = run(capsys, "scan", "--json", "--spec", spec, "--state", state, paths[1])
    assert given[0] == 0 and given[2] == ""
    assert run(capsys, "scan", "--json", "--state", state, paths[1]) == given
    # another specification of the same window is taken, and said so
    other = tmp_path / "other.json"
    other.write_text(json.dumps({"signals": SIGNALS, "threshold": 0.5}))
    status, out, err = run(capsys, "scan", "--json", "--spec", str(other), "--state", state, paths[1])
    assert status == 0 and out != given[1]
    assert err == f"note: --spec {other} is not the specification saved in {state}; its data is scored with {other}\n"


def test_replay_continues_a_saved_state(days, tmp_path, capsys):
    paths, spec = days
    state = str(tmp_path / "s.state")
    assert run(capsys, "scan", "--spec", spec, "--save-state", state, paths[0])[0] == 0
    whole = run(capsys, "replay", "--spec", spec, *paths)
    resumed = run(capsys, "replay", "--state", state, *paths[1:])
    assert whole[0] == resumed[0] == 0 and resumed[2] == ""
    # the same alerts at the end, after only the files left
    assert resumed[1].splitlines()[-1].split("; ")[1] == whole[1].splitlines()[-1].split("; ")[1]
    assert resumed[1].splitlines()[-1].startswith(f"replayed {3 * 400} events")


def test_ctrl_c_during_a_dask_scan_is_one_line(days):
    pytest.importorskip("distributed")
    import subprocess

    paths, spec = days
    # a scan that Ctrl-C stops while it runs, its cluster's teardown logging as a real one does
    code = ("import asyncio, logging, os, signal, time, sys\n"
            "from zolvar_radar import cli, distributed\n"
            "def scan(*args, **kwargs):\n"
            "    try:\n"
            "        os.kill(os.getpid(), signal.SIGINT)\n"
            "        time.sleep(30)\n"
            "    finally:\n"
            "        logging.getLogger('distributed.worker.state_machine').warning('ended with CancelledError')\n"
            "        logging.getLogger('asyncio').error('Task exception was never retrieved')\n"
            "distributed.scan = scan\n"
            f"sys.exit(cli.main(['scan', '--spec', {spec!r}, '--dask', {paths[0]!r}]))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (130, "", "scan --dask: interrupted\n")
