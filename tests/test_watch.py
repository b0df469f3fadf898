"""zolvar-radar watch: the live loop, offline: recorded files and scripted pairs through the
same checkpoints, sinks and state; webhooks against local servers; bad input refused up front."""

import asyncio
import json
import subprocess
import sys
import threading
import time
from contextlib import contextmanager
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from zolvar_radar.cli import SAMPLE, main
from zolvar_radar.watch import FileSource, PairsSource, Watcher, watch
from zolvar_radar.watch.changes import ChangeTracker
from zolvar_radar.watch.sinks import WebhookSink

T0 = 1_715_731_200_000  # epoch ms, on a minute
MINUTE = 60_000
SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [2, 0.1]}, {"kind": "book_imbalance", "params": [0.5]}],
                   "threshold": 0.5})


def surge_events(minutes=40, at=20):
    """Three quiet symbols a snapshot a minute; SURGEUSDT's open interest jumps 30 % and its book turns
    lopsided at minute ``at``."""
    for m in range(minutes):
        for symbol in ("AAAUSDT", "BBBUSDT", "SURGEUSDT"):
            surge = symbol == "SURGEUSDT" and m >= at
            ts = T0 + m * MINUTE + 1_000
            yield symbol, {"kind": "derivatives", "ts": ts, "open_interest": 1300.0 if surge else 1000.0,
                           "funding_rate": 0.0001, "mark_price": 100.0}
            yield symbol, {"kind": "orderbook", "ts": ts + 500, "bid_volume": 90.0 if surge else 50.0,
                           "ask_volume": 10.0 if surge else 50.0, "best_bid": 99.9, "best_ask": 100.1}


@pytest.fixture
def surge(tmp_path):
    path = tmp_path / "surge.jsonl"
    path.write_text("".join(json.dumps({"symbol": s, "event": e}) + "\n" for s, e in surge_events()))
    spec = tmp_path / "spec.json"
    spec.write_text(SPEC)
    return path, spec


class Hook:
    """A local webhook endpoint: records bodies; or answers 500, or hangs."""

    def __init__(self, mode="ok"):
        self.bodies, self.mode, self.release = [], mode, threading.Event()
        hook = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                if hook.mode == "hang":
                    hook.release.wait(5)
                    return
                if hook.mode == "500":
                    self.send_response(500)
                    self.end_headers()
                    return
                hook.bodies.append(json.loads(body))
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/hook"
        threading.Thread(target=self.server.serve_forever, args=(0.02,), daemon=True).start()

    def close(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()


@contextmanager
def hook(mode="ok"):
    h = Hook(mode)
    try:
        yield h
    finally:
        h.close()


def refused_url():
    import socket

    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()  # nothing listens there now
    return f"http://127.0.0.1:{port}/hook"


def collect(source, spec=SPEC, stop_after=None, **options):
    """The changes of a watch, and its Watcher; ``stop_after`` checkpoints sets stop."""

    async def run():
        stop = asyncio.Event()
        watcher = Watcher(source, spec, stop=stop, **options)
        changes, n = [], 0
        async for checkpoint in watcher.checkpoints():
            changes += checkpoint.changes
            n += 1
            if stop_after is not None and n >= stop_after:
                stop.set()
        return changes, watcher

    return asyncio.run(run())


def test_file_source_sends_what_replay_prints():
    changes, _ = collect(FileSource(str(SAMPLE)), spec=None, bar=None, every_ts="1h")
    printed = subprocess.run([sys.executable, "-m", "zolvar_radar", "replay", "--json", "--every-ts", "1h"],
                             capture_output=True, text=True, check=True).stdout.splitlines()
    drop = lambda c: {k: v for k, v in c.items() if k not in ("clock", "exchange")}  # noqa: E731
    assert [drop(c) for c in changes] == [drop(json.loads(line)) for line in printed]
    assert all(c["clock"] % 3_600_000 == 0 for c in changes)


def test_stopped_and_restarted_is_one_run(tmp_path):
    whole, _ = collect(FileSource(str(SAMPLE)), spec=None, every_ts="30m")
    state = str(tmp_path / "w.state")
    first, _ = collect(FileSource(str(SAMPLE)), spec=None, every_ts="30m", state=state, stop_after=17)
    second, watcher = collect(FileSource(str(SAMPLE)), spec=None, every_ts="30m", state=state)
    assert first + second == whole and first and second
    assert watcher.skipped_before > 0
    again, watcher = collect(FileSource(str(SAMPLE)), spec=None, every_ts="30m", state=state)
    assert again == [] and watcher.events == 0


def test_scripted_pairs_take_the_live_path_to_the_same_changes(surge):
    path, _ = surge
    from_file, _ = collect(FileSource(str(path)), bar="1m")
    pairs = list(surge_events())
    batches = [("x", pairs[i:i + 6]) for i in range(0, len(pairs), 6)]  # a minute of three symbols per batch
    live, watcher = collect(PairsSource(batches, exchanges=["x"]), bar="1m")
    assert [(c["change"], c["symbol"], c["severity"], c["clock"]) for c in live] == \
        [(c["change"], c["symbol"], c["severity"], c["clock"]) for c in from_file]
    assert {c["exchange"] for c in live} == {"x"} and watcher.events == len(pairs)


@pytest.mark.parametrize("severities, min_move, cooldown, expected", [
    ([0.6, 0.62, 0.7, None, 0.6], 0.05, 0, ["onset", "moved", "cleared", "onset"]),
    ([0.6, None, 0.6, 0.6, 0.6], 0.05, 3, ["onset", "cleared", "onset"]),  # held back until 3 clock units passed
    ([0.6, None, 0.6], 0.05, 10, ["onset", "cleared"]),
    ([0.6, 0.64, 0.68], 0.05, 0, ["onset", "moved"]),  # moves add up from the severity last sent
])
def test_change_tracker(severities, min_move, cooldown, expected):
    tracker = ChangeTracker(min_move, cooldown)
    sent = []
    for clock, severity in enumerate(severities):
        alerts = [] if severity is None else [{"symbol": "S", "severity": severity, "factors": {}}]
        sent += [c["change"] for c in tracker.update(json.dumps({"alerts": alerts, "scanned": 1}), clock)]
    assert sent == expected


def test_surge_makes_one_onset_at_the_webhook_and_none_after_a_restart(surge, tmp_path, capsys):
    path, spec = surge
    state = str(tmp_path / "w.state")
    args = ["watch", "--source", f"file:{path}", "--spec", str(spec), "--state", state, "--exchange", "replayed"]
    with hook() as h:
        assert main(args + ["--sink", f"webhook:{h.url}"]) == 0
        onsets = [b for b in h.bodies if b["change"] == "onset"]
        assert [(b["symbol"], b["exchange"]) for b in onsets] == [("SURGEUSDT", "replayed")]
        assert onsets[0]["factors"]["oi_delta(2,0.1)"] == 1.0 and onsets[0]["factors"]["book_imbalance(0.5)"] == 1.0
        assert onsets[0]["clock"] == T0 + 21 * MINUTE  # the bar of minute 20 closes then
        h.bodies.clear()
        assert main(args + ["--sink", f"webhook:{h.url}"]) == 0
        assert h.bodies == []
    assert "before the saved checkpoint skipped" in capsys.readouterr().err


@pytest.mark.parametrize("mode", ["hang", "refuse", "500"])
def test_a_failing_webhook_never_holds_up_the_loop(mode):
    with hook("hang" if mode == "hang" else "500") as h:
        sink = WebhookSink(refused_url() if mode == "refuse" else h.url, timeout=0.3, retries=1, backoff=0.01,
                           queue_size=3)
        started = time.monotonic()
        for i in range(10):
            sink.send({"change": "onset", "symbol": f"S{i}", "severity": 0.5, "previous": None, "factors": {},
                       "clock": i, "exchange": None})
        assert time.monotonic() - started < 0.1
        sink.close(0.5)
    assert sink.sent == 0 and sink.dropped == 10


def test_the_cli_goes_on_past_a_refusing_webhook(surge, capsys):
    path, spec = surge
    assert main(["watch", "--source", f"file:{path}", "--spec", str(spec), "--sink", f"webhook:{refused_url()}",
                 "--sink", "jsonl", "--webhook-timeout", "0.2"]) == 0
    out, err = capsys.readouterr()
    assert [json.loads(line)["symbol"] for line in out.splitlines()][0] == "SURGEUSDT"
    assert "changes dropped" in err


@pytest.mark.parametrize("sink_format, member", [("discord", "content"), ("slack", "text"), ("telegram", "text")])
def test_chat_formats_say_the_change_in_a_line(sink_format, member):
    with hook() as h:
        sink = WebhookSink(h.url + "?chat_id=42", sink_format)
        sink.send({"change": "onset", "symbol": "BTC/USDT:USDT", "severity": 0.71, "previous": None,
                   "factors": {"oi_delta(2,0.1)": 1.0, "severity": 0.71}, "clock": 1, "exchange": "bybit"})
        sink.close(2)
    (body,) = h.bodies
    assert "bybit BTC/USDT:USDT: onset 0.710 (oi_delta(2,0.1) 1.00)" == body[member]
    assert body.get("chat_id") == ("42" if sink_format == "telegram" else None)


def test_python_api_yields_changes(surge):
    path, _ = surge

    async def run():
        return [c async for c in watch(f"file:{path}", SPEC)]

    changes = asyncio.run(run())
    assert changes[0]["change"] == "onset" and changes[0]["symbol"] == "SURGEUSDT"


def test_sigterm_saves_and_the_restart_goes_on(tmp_path):
    import signal

    state = tmp_path / "w.state"
    args = [sys.executable, "-m", "zolvar_radar", "watch", "--source", f"file:{SAMPLE}", "--every-ts", "1h",
            "--state", str(state), "--sink", "jsonl"]
    whole = subprocess.run(args[:-4] + ["--sink", "jsonl"], capture_output=True, text=True, check=True).stdout
    proc = subprocess.Popen(args + ["--speed", "36000"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = proc.stdout.readline()  # it runs: the day takes 2.4 s at this speed
    proc.send_signal(signal.SIGTERM)
    rest, err = proc.communicate(timeout=10)
    assert proc.returncode == 0 and state.exists(), err
    again = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    assert first + rest + again == whole and again


def test_a_refused_line_stops_the_file_source_and_keeps_the_last_save(surge, tmp_path, capsys):
    path, spec = surge
    lines = path.read_text().splitlines(keepends=True)
    path.write_text("".join(lines[:150]) + '{"symbol": "X", "kind": "nope", "ts": 1}\n' + "".join(lines[150:]))
    state = tmp_path / "w.state"
    args = ["watch", "--source", f"file:{path}", "--spec", str(spec), "--state", str(state), "--sink", "jsonl",
            "--save-every", "1m"]
    assert main(args) == 2
    assert f"{path}:151:" in capsys.readouterr().err
    saved = state.read_bytes()
    assert main(args + ["--skip-bad"]) == 0  # goes on from the last save
    assert state.read_bytes() != saved


def test_a_file_source_saving_between_bars_is_refused(tmp_path, capsys):
    from zolvar_radar.cli import main

    path = tmp_path / "e.jsonl"
    path.write_text('{"symbol":"A","kind":"derivatives","ts":1,"open_interest":1,"funding_rate":0,"mark_price":1}\n')
    code = main(["watch", "--source", f"file:{path}", "--bar", "1m", "--every-ts", "90s", "--state",
                 str(tmp_path / "s.state"), "--sink", "jsonl"])
    err = capsys.readouterr().err.strip()
    assert code == 2 and len(err.splitlines()) == 1 and "multiple of --bar" in err
