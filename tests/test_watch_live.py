"""zolvar-radar watch on live sources, offline: the real ccxt client, its markets and answers
scripted in process; a metrics endpoint on 127.0.0.1; bad input refused before anything connects."""

import asyncio
import itertools
import json
import urllib.request
from pathlib import Path

import pytest
from zolvar_radar.cli import main
from zolvar_radar.watch import Watcher
from zolvar_radar.watch.metrics import start_metrics
from zolvar_radar.watch.sources.base import now_ms

ccxtpro = pytest.importorskip("ccxt.pro")

FIXTURE = json.loads((Path(__file__).parent / "fixtures" / "exchanges" / "binanceusdm.json").read_text())
SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [1, 0.1]}], "threshold": 0.5})


async def _markets(self, reload=False, params={}):
    self.set_markets(FIXTURE["markets"])
    return self.markets


def scripted_binance(exchange_id="binanceusdm"):
    """ccxt.pro's binanceusdm answering from the process: open interest rises 30 % a poll from the third on."""
    client = ccxtpro.binanceusdm({"enableRateLimit": False})
    client.set_markets(FIXTURE["markets"])
    client.has = dict(client.has, watchOrderBook=False, watchLiquidations=False)
    polls = itertools.count()

    async def fetch(url, method="GET", headers=None, body=None):
        if "/openInterest" in url:
            oi = 1000 * 1.3 ** max(0, next(polls) - 1)
            return {"openInterest": str(oi), "symbol": "BTCUSDT", "time": now_ms()}
        if "/premiumIndex" in url:
            return dict(FIXTURE["rest"]["/fapi/v1/premiumIndex"], time=now_ms())
        if "/depth" in url:
            return dict(FIXTURE["rest"]["/fapi/v1/depth"], T=now_ms(), E=now_ms())
        raise AssertionError(f"no scripted answer for {url}")

    client.fetch = fetch
    client.load_markets = _markets.__get__(client)
    return client


def test_ccxt_polls_reach_an_onset_through_the_real_client():
    from zolvar_radar.watch.sources.ccxt import CcxtSource

    async def run():
        source = CcxtSource(["binanceusdm"], symbols=["BTC/USDT:USDT"], poll=0.03, client=lambda _: scripted_binance())
        await source.prepare()
        stop = asyncio.Event()
        watcher = Watcher(source, SPEC, bar=None, every_ts=50, stop=stop, stall=5)
        changes = []
        loop = asyncio.get_running_loop()
        deadline = loop.time() + 3
        async for checkpoint in watcher.checkpoints():
            changes += checkpoint.changes
            if any(c["change"] == "onset" for c in changes) or loop.time() > deadline:
                stop.set()
        return changes, watcher

    changes, watcher = asyncio.run(run())
    onset = next(c for c in changes if c["change"] == "onset")
    assert (onset["exchange"], onset["symbol"]) == ("binanceusdm", "BTC/USDT:USDT")
    assert onset["factors"]["oi_delta(1,0.1)"] == 1.0
    assert watcher.metrics.events[("binanceusdm", "derivatives")] >= 2
    assert watcher.metrics.events[("binanceusdm", "orderbook")] >= 2


@pytest.fixture
def offline_markets(monkeypatch):
    monkeypatch.setattr(ccxtpro.binanceusdm, "load_markets", _markets)

    def no_network(*args, **kwargs):
        raise AssertionError("connected")

    monkeypatch.setattr(ccxtpro.binanceusdm, "fetch", no_network)
    monkeypatch.setattr(ccxtpro.binanceusdm, "watch_order_book", no_network)


@pytest.mark.parametrize("args, message", [
    (["--exchange", "nosuchexchange", "--symbols", "BTC/USDT:USDT"], "--exchange nosuchexchange: not an exchange id"),
    (["--exchange", "binanse", "--symbols", "BTC/USDT:USDT"], "(did you mean 'binance'?)"),
    (["--exchange", "binanceusdm", "--symbols", "NOPE/USDT:USDT"], "NOPE/USDT:USDT is not a symbol it lists"),
    (["--exchange", "bitstamp", "--symbols", "BTC/USD"], "has no fetchOpenInterest"),
    (["--exchange", "binanceusdm", "--all-perpetuals", "--quote", "EUR"], "lists no perpetual swap settled in EUR"),
    (["--exchange", "binanceusdm", "--symbols", "BTC/USDT:USDT", "--state", "/nonexistent/dir/w.state"],
     "No such directory"),
    (["--exchange", "binanceusdm", "--symbols", "BTC/USDT:USDT", "--state", "/"], "Is a directory"),
    (["--exchange", "binanceusdm", "--symbols", "BTC/USDT:USDT", "--metrics", "nohost"], "give HOST:PORT"),
    (["--exchange", "binanceusdm"], "give --symbols"),
    (["--symbols", "BTC/USDT:USDT"], "give at least one --exchange"),
    (["--source", "file:/nonexistent.jsonl"], "/nonexistent.jsonl: No such file"),
    (["--source", "cryptofeed", "--exchange", "NOPE", "--symbols", "BTC-USDT-PERP"], "not an exchange id cryptofeed"),
    (["--source", "cryptofeed", "--exchange", "BITSTAMP", "--symbols", "BTC-USD"], "streams no open_interest"),
    (["--source", "kafka"], "--source kafka: give ccxt, cryptofeed or file:"),
    (["--source", "file:x", "--sink", "email:me"], None),
    (["--exchange", "binanceusdm", "--symbols", "BTC/USDT:USDT", "--sink", "webhook:ftp://x"], "http:// or https://"),
])
def test_bad_input_is_one_line_and_status_2_before_connecting(args, message, offline_markets, tmp_path, capsys):
    if message is None:
        (tmp_path / "x").write_text("")
        args = ["--source", f"file:{tmp_path / 'x'}", "--sink", "email:me"]
        message = "--sink email:me: give terminal, jsonl"
    assert main(["watch", *args]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0], err


def test_a_damaged_state_or_one_of_another_window_is_refused(tmp_path, capsys):
    state, spec = tmp_path / "w.state", tmp_path / "spec.json"
    events = tmp_path / "e.jsonl"
    events.write_text('{"symbol": "S", "kind": "liquidation", "ts": 1715731200000, "side": "buy", "qty": 1, "price": 1}\n')
    state.write_bytes(b"not a state")
    assert main(["watch", "--source", f"file:{events}", "--state", str(state)]) == 2
    assert f"{state}: not a watch state" in capsys.readouterr().err
    state.unlink()
    assert main(["watch", "--source", f"file:{events}", "--state", str(state), "--sink", "jsonl"]) == 0
    spec.write_text(SPEC)
    assert main(["watch", "--source", f"file:{events}", "--state", str(state), "--spec", str(spec)]) == 2
    assert "does not match the specification's window" in capsys.readouterr().err.splitlines()[-1]


def test_metrics_endpoint_serves_the_counters():
    metrics = start_metrics("127.0.0.1:0")
    try:
        metrics.event("bybit", "orderbook", 3)
        metrics.lag("bybit", 0.25)
        metrics.poll_failed("bybit")
        metrics.stall("bybit")
        metrics.checkpoint(0.002, 4)
        metrics.sink("webhook:h", 2, 7)
        host, port = metrics.address
        text = urllib.request.urlopen(f"http://{host}:{port}/metrics", timeout=5).read().decode()
    finally:
        metrics.close()
    for line in ['zolvar_watch_events_total{exchange="bybit",kind="orderbook"} 3.0',
                 'zolvar_watch_feed_lag_seconds{exchange="bybit"} 0.25', 'zolvar_watch_alerts_active 4.0',
                 'zolvar_watch_sink_dropped{sink="webhook:h"} 7.0', 'zolvar_watch_stalls_total{exchange="bybit"} 1.0']:
        assert line in text


def test_the_bound_metrics_address_is_said_at_start(tmp_path, capsys):
    events = tmp_path / "e.jsonl"
    events.write_text('{"symbol": "S", "kind": "liquidation", "ts": 1715731200000, "side": "buy", "qty": 1, "price": 1}\n')
    assert main(["watch", "--source", f"file:{events}", "--metrics", "127.0.0.1:0", "--sink", "jsonl"]) == 0
    first = capsys.readouterr().err.splitlines()[0]
    assert first.startswith("metrics on http://127.0.0.1:") and not first.endswith(":0/metrics")


@pytest.mark.parametrize("module, args, message", [
    ("prometheus_client", ["--metrics", "127.0.0.1:0"], "--metrics needs prometheus_client: pip install 'zolvar_radar[live]'"),
    ("ccxt", ["--source", "ccxt", "--exchange", "bybit", "--symbols", "BTC/USDT:USDT"], "--source ccxt needs ccxt"),
    ("cryptofeed.exchanges", ["--source", "cryptofeed", "--exchange", "BYBIT", "--symbols", "BTC-USDT-PERP"],
     "--source cryptofeed needs cryptofeed"),
])
def test_a_missing_extra_is_named_in_one_line(module, args, message, monkeypatch, tmp_path, capsys):
    monkeypatch.setitem(__import__("sys").modules, module, None)
    events = tmp_path / "e.jsonl"
    events.write_text("")
    if "--source" not in args:
        args = ["--source", f"file:{events}", *args]
    assert main(["watch", *args]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0], err


def test_a_failing_exchange_is_counted_and_never_stops_the_others():
    from zolvar_radar.watch.sources.ccxt import CcxtSource

    def client(exchange_id):
        c = scripted_binance()
        if exchange_id == "broken":
            c.id = "broken"
            c.has = dict(c.has, watchOrderBook=True)

            async def refuse(*args, **kwargs):
                raise ConnectionError("refused")

            c.fetch = refuse
            c.watch_order_book = refuse
        return c

    async def run():
        source = CcxtSource(["binanceusdm", "broken"], symbols=["BTC/USDT:USDT"], poll=0.03, client=client)
        await source.prepare()
        stop = asyncio.Event()
        watcher = Watcher(source, SPEC, bar=None, every_ts=50, stop=stop, stall=0.2)
        changes = []
        loop = asyncio.get_running_loop()
        deadline = loop.time() + 3
        async for checkpoint in watcher.checkpoints():
            changes += checkpoint.changes
            if (any(c["change"] == "onset" for c in changes) and watcher.metrics.stalls) or loop.time() > deadline:
                stop.set()
        return changes, watcher.metrics

    changes, metrics = asyncio.run(run())
    assert {c["exchange"] for c in changes if c["change"] == "onset"} == {"binanceusdm"}
    assert metrics.poll_failures["broken"] >= 1 and metrics.reconnects["broken"] >= 1
    assert metrics.stalls == {"broken": 1}


def test_cryptofeed_callbacks_feed_the_loop(monkeypatch):
    """cryptofeed's own callback types through the source's callbacks (the handler and feed stand in:
    a real feed looks its symbols up on the exchange)."""
    from decimal import Decimal as D

    cryptofeed = pytest.importorskip("cryptofeed")
    from cryptofeed import types
    from cryptofeed.exchanges import EXCHANGE_MAP
    from zolvar_radar.watch.sources.cryptofeed import CryptofeedSource

    class Feed:
        websocket_channels = {"open_interest": "", "funding": "", "l2_book": ""}

        def __init__(self, symbols, channels, callbacks):
            self.callbacks = callbacks

    class Handler:
        def add_feed(self, feed):
            self.feed = feed

        def run(self, start_loop, install_signal_handlers):
            async def play():
                for i, oi in enumerate([1000, 1000, 1500, 2250, 3400]):
                    ts = now_ms() / 1000
                    await self.feed.callbacks["funding"](
                        types.Funding("FAKE", "BTC-USDT-PERP", D("100"), D("0.0001"), None, ts, raw={}), ts)
                    await self.feed.callbacks["open_interest"](
                        types.OpenInterest("FAKE", "BTC-USDT-PERP", D(oi), ts, raw={}), ts)
                    await asyncio.sleep(0.06)
            self.task = asyncio.get_event_loop().create_task(play())

        async def stop_async(self):
            self.task.cancel()

    monkeypatch.setitem(EXCHANGE_MAP, "FAKE", Feed)
    monkeypatch.setattr(cryptofeed, "FeedHandler", Handler)

    async def run():
        source = CryptofeedSource(["FAKE"], symbols=["BTC-USDT-PERP"])
        await source.prepare()
        stop = asyncio.Event()
        watcher = Watcher(source, SPEC, bar=None, every_ts=50, stop=stop, stall=5)
        changes = []
        loop = asyncio.get_running_loop()
        deadline = loop.time() + 2
        async for checkpoint in watcher.checkpoints():
            changes += checkpoint.changes
            if any(c["change"] == "onset" for c in changes) or loop.time() > deadline:
                stop.set()
        return changes

    onset = next(c for c in asyncio.run(run()) if c["change"] == "onset")
    assert (onset["exchange"], onset["symbol"], onset["factors"]["oi_delta(1,0.1)"]) == ("FAKE", "BTC-USDT-PERP", 1.0)


def test_end_to_end_a_local_exchange_server_makes_one_onset_at_the_webhook(monkeypatch, tmp_path, capsys):
    """The command line, ccxt's real client with its REST URLs pointed at a server on 127.0.0.1 that
    answers in Binance's documented format, and a local webhook: one onset, with its symbol and
    factors; the same surge after a restart from the state makes none."""
    import os
    import signal
    import threading
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
    from zolvar_radar.watch.sources import ccxt as ccxt_source

    from test_watch import hook

    polls = []  # open interest rises 30 % a poll from the third on

    class Exchange(BaseHTTPRequestHandler):
        def do_GET(self):
            if "/openInterest" in self.path:
                polls.append(self.path)
                body = {"openInterest": str(1000 * 1.3 ** max(0, len(polls) - 2)), "symbol": "BTCUSDT",
                        "time": now_ms()}
            elif "/premiumIndex" in self.path:
                body = dict(FIXTURE["rest"]["/fapi/v1/premiumIndex"], time=now_ms())
            elif "/depth" in self.path:
                body = dict(FIXTURE["rest"]["/fapi/v1/depth"], T=now_ms(), E=now_ms())
            else:
                self.send_error(404)
                return
            data = json.dumps(body).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Exchange)
    threading.Thread(target=server.serve_forever, args=(0.02,), daemon=True).start()
    local = f"http://127.0.0.1:{server.server_address[1]}"
    made = ccxt_source.CcxtSource._make

    def make(self, exchange_id):
        client = made(self, exchange_id)
        client.urls["api"] = {k: v.replace("https://fapi.binance.com", local) if isinstance(v, str) else v
                              for k, v in client.urls["api"].items()}
        client.has = dict(client.has, watchOrderBook=False, watchLiquidations=False)  # REST only, here
        return client

    monkeypatch.setattr(ccxt_source.CcxtSource, "_make", make)
    monkeypatch.setattr(ccxtpro.binanceusdm, "load_markets", _markets)
    spec = tmp_path / "spec.json"
    spec.write_text(SPEC)
    state = tmp_path / "w.state"
    args = ["watch", "--exchange", "binanceusdm", "--symbols", "BTC/USDT:USDT", "--spec", str(spec), "--no-bar",
            "--every-ts", "50", "--poll", "0.03", "--state", str(state), "--webhook-timeout", "1"]
    try:
        with hook() as h:
            def stop_when(done):
                """Ctrl-C once done() (at most 3 s on): the watch saves and ends at its next checkpoint."""
                def watch():
                    for _ in range(300):
                        if done() or finished.is_set():
                            break
                        threading.Event().wait(0.01)
                    if not finished.is_set():
                        os.kill(os.getpid(), signal.SIGINT)
                finished = threading.Event()
                threading.Thread(target=watch, daemon=True).start()
                return finished

            finished = stop_when(lambda: h.bodies)
            capsys.readouterr()
            assert main(args + ["--sink", f"webhook:{h.url}"]) == 130
            finished.set()
            err = capsys.readouterr().err.splitlines()
            assert len(err) == 1 and err[0].startswith("interrupted: watched "), err
            onsets = [b for b in h.bodies if b["change"] == "onset"]
            assert [(b["exchange"], b["symbol"], b["factors"]["oi_delta(1,0.1)"]) for b in onsets] == \
                [("binanceusdm", "BTC/USDT:USDT", 1.0)]
            # the restart: open interest still rising, the alert standing: nothing to send
            h.bodies.clear()
            before = len(polls)
            finished = stop_when(lambda: len(polls) >= before + 3)
            assert main(args + ["--sink", f"webhook:{h.url}"]) == 130
            finished.set()
            assert h.bodies == [] and len(polls) >= before + 3
    finally:
        server.shutdown()
        server.server_close()


def test_a_dropped_stream_reconnects_and_the_lag_shows_the_gap(monkeypatch):
    """ccxt.pro's own client on a local WebSocket server speaking Binance's liquidation stream: five
    liquidations, the connection dropped, then accepted again after a silence; the first liquidation
    after it is one the exchange timed at the drop. The watch reconnects, goes on reading, and the lag
    it exports holds the gap."""
    pytest.importorskip("prometheus_client")
    from websockets.asyncio.server import serve
    from zolvar_radar.watch.sources.ccxt import CcxtSource

    silence = 0.3
    monkeypatch.setattr(CcxtSource, "RECONNECT_WAIT", 0.02)
    connections, dropped_at, sent_after = [], [], []

    def liquidation(ts):
        return json.dumps({"e": "forceOrder", "E": ts, "o": {
            "s": "BTCUSDT", "S": "SELL", "o": "LIMIT", "f": "IOC", "q": "0.5", "p": "60000", "ap": "60000",
            "X": "FILLED", "l": "0.5", "z": "0.5", "T": ts}})

    async def exchange(ws):
        connections.append(ws)
        request = json.loads(await ws.recv())
        assert request["method"] == "SUBSCRIBE" and request["params"] == ["btcusdt@forceOrder"]
        if len(connections) > 1:
            await asyncio.sleep(silence)
        await ws.send(json.dumps({"result": None, "id": request["id"]}))
        if len(connections) == 1:
            for _ in range(5):
                await ws.send(liquidation(now_ms()))
                await asyncio.sleep(0.01)
            dropped_at.append(now_ms())
            ws.transport.abort()  # no closing handshake: the line is cut
            return
        ts = dropped_at[0]
        for _ in range(100):
            await ws.send(liquidation(ts))
            sent_after.append(ts)
            await asyncio.sleep(0.01)
            ts = now_ms()

    async def run():
        async with serve(exchange, "127.0.0.1", 0) as server:
            port = server.sockets[0].getsockname()[1]
            client = scripted_binance()
            client.has = dict(client.has, watchLiquidations=True)
            client.urls["api"]["ws"]["linear"] = f"ws://127.0.0.1:{port}/ws"
            source = CcxtSource(["binanceusdm"], symbols=["BTC/USDT:USDT"], poll=30, client=lambda _: client)
            await source.prepare()
            client.markets["BTC/USDT:USDT"]["lowercaseId"] = "btcusdt"  # the stream's name; the fixture has none
            stop = asyncio.Event()
            metrics = start_metrics("127.0.0.1:0")
            watcher = Watcher(source, SPEC, bar=None, every_ts=50, stop=stop, stall=5, metrics=metrics)
            loop = asyncio.get_running_loop()
            deadline = loop.time() + 2.5
            try:
                async for _ in watcher.checkpoints():
                    if metrics.events.get(("binanceusdm", "liquidation"), 0) >= 8 or loop.time() > deadline:
                        stop.set()
                host, port = metrics.address
                text = await asyncio.to_thread(
                    lambda: urllib.request.urlopen(f"http://{host}:{port}/metrics", timeout=5).read().decode())
            finally:
                metrics.close()
            return metrics, text

    metrics, text = asyncio.run(run())
    assert len(connections) == 2 and metrics.reconnects == {"binanceusdm": 1}
    assert metrics.events[("binanceusdm", "liquidation")] >= 8  # five before the drop, three or more after
    assert metrics.max_lag["binanceusdm"] >= silence
    assert 'zolvar_watch_reconnects_total{exchange="binanceusdm"} 1.0' in text
    counts = {line.split("le=")[1].split('"')[1]: float(line.split()[-1]) for line in text.splitlines()
              if line.startswith('zolvar_watch_event_lag_seconds_bucket{exchange="binanceusdm"')}
    assert counts["0.25"] < counts["+Inf"]  # the batch after the silence, seen in the histogram
