"""replay --report / --png: the picture and the page for the bundled sample day."""

import base64
import io
import json
import re
import struct

import pytest
from zolvar_radar import cli, report
from zolvar_radar.adapters import read_events
from zolvar_radar.lint import read_signals

pytest.importorskip("matplotlib")
from matplotlib.text import Text  # noqa: E402

T0 = 1715644800000


def png_size(data: bytes) -> tuple[int, int]:
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


@pytest.fixture(scope="module")
def replayed(tmp_path_factory):
    """One replay of the sample writing both outputs, shared by the tests below."""
    folder = tmp_path_factory.mktemp("report")
    html_path, png_path = folder / "out.html", folder / "out.png"
    code = cli.main(["replay", "--every", "5000", "--no-progress", "--report", str(html_path),
                     "--png", str(png_path)])
    return code, html_path.read_text(encoding="utf-8"), png_path.read_bytes()


def test_png_has_the_figure_size(replayed):
    code, _, png = replayed
    assert code == 0
    assert png_size(png) == (report.WIDTH * report.DPI, report.HEIGHT * report.DPI)


def test_html_page_is_self_contained_with_picture_and_tables(replayed, capsys):
    _, page, png = replayed
    embedded = re.search(r'src="data:image/png;base64,([^"]+)"', page).group(1)
    assert png_size(base64.b64decode(embedded)) == png_size(png)
    assert "http" not in page  # nothing to fetch: it opens offline

    # the table at the end lists what a scan of the whole day reports, in rank order
    assert cli.main(["scan", "--json"]) == 0
    final = json.loads(capsys.readouterr().out)["alerts"]
    table = page.split("<h2>Alerts at the end</h2>")[1].split("</table>")[0]
    assert re.findall(r"<tr><td class=num>\d+</td><td>([^<]+)</td>", table) == [a["symbol"] for a in final]
    assert f"{len(final)} at the end" in page


def test_timeline_keeps_every_symbol_and_the_ones_that_alerted():
    spec = {"signals": [{"kind": "book_imbalance", "params": [0.5]}], "threshold": 0.5}
    timeline = report.Timeline(spec["signals"], spec["threshold"])
    lopsided = '{"kind":"orderbook","ts":1715644800000,"bid_volume":3,"ask_volume":1,"best_bid":1,"best_ask":2}'
    even = '{"kind":"orderbook","ts":1715644860000,"bid_volume":1,"ask_volume":1,"best_bid":1,"best_ask":2}'
    timeline.feed("A", [lopsided])
    timeline.feed("B", [even])
    timeline.checkpoint(1715644860000, [{"symbol": "A", "severity": 1.0, "factors": {}, "ts": 1}])
    timeline.feed("A", [even])
    timeline.checkpoint(1715644920000, [])
    assert timeline.severities == [{"A": 1.0, "B": 0.0}, {"A": 0.0, "B": 0.0}]
    assert timeline.ranked_symbols() == [("A", 1.0, 0)]
    assert png_size(report.png_bytes(timeline)) == (1200, 1400)


def test_missing_matplotlib_is_a_one_line_error(monkeypatch, capsys, tmp_path):
    monkeypatch.setattr(report, "matplotlib_missing", lambda: "matplotlib is not installed")
    assert cli.main(["replay", "--png", str(tmp_path / "x.png")]) == 2
    out, err = capsys.readouterr()
    assert (out, err) == ("", "--report and --png need matplotlib: matplotlib is not installed\n")
    assert not (tmp_path / "x.png").exists()


def deriv(ts, oi, funding=0.0001, price=100.0):
    return {"kind": "derivatives", "ts": ts, "open_interest": oi, "funding_rate": funding, "mark_price": price}


def book(ts, bid, ask):
    return {"kind": "orderbook", "ts": ts, "bid_volume": bid, "ask_volume": ask, "best_bid": 1, "best_ask": 2}


def liq(ts, side, qty):
    return {"kind": "liquidation", "ts": ts, "side": side, "qty": qty, "price": 1}


@pytest.mark.parametrize(
    "signal, events, strength, market",
    [
        ({"kind": "oi_delta", "params": [2, 0.2]}, [deriv(T0, 100), deriv(T0 + 1, 105), deriv(T0 + 2, 110)],
         0.5, "OI +10.00% in 2 snapshots"),
        ({"kind": "oi_delta", "params": [3, 0.2]}, [deriv(T0, 100), deriv(T0 + 1, 105), deriv(T0 + 2, 110)],
         0.0, "3 of the 4 snapshots it needs"),
        ({"kind": "oi_price_divergence", "params": [1, 0.1]}, [deriv(T0, 100, price=50), deriv(T0 + 1, 110, price=45)],
         1.0, "price -10.00%, OI +10.00% in 1 snapshot"),
        ({"kind": "funding_flip", "params": [0.001]}, [deriv(T0, 100, 0.0002), deriv(T0 + 1, 100, -0.0001)],
         0.2, "funding -0.0100% after +0.0200%, flipped"),
        ({"kind": "book_imbalance", "params": [0.8]}, [book(T0, 100, 300)],
         0.625, "book -0.50 ask-heavy: bids 100, asks 300"),
        ({"kind": "liq_cluster", "params": [2, 1e6]},
         [liq(T0, "buy", 5e5), liq(T0 + 1, "sell", 3e5), liq(T0 + 2, {"sell": None}, 1e5)],
         0.4, "400k liquidated in the last 2, 100% longs (sells)"),
        # array form, as the radar also takes it
        ({"kind": "liq_cluster", "params": [5, 1e6]},
         [["liquidation", T0, "buy", 3e5, 1], ["liquidation", T0, "sell", 1e5, 1]],
         0.4, "400k liquidated in the last 2, 25% longs (sells)"),
    ],
)
def test_drivers_carry_the_market_values_behind_them(signal, events, strength, market):
    timeline = report.Timeline([signal, {"kind": "book_imbalance", "params": [1e9]}], 0.1)
    for i, event in enumerate(events):  # dicts and texts alike
        timeline.observe("X", event if i % 2 else json.dumps(event))
    timeline.checkpoint(T0 + 10, '{"alerts":[],"scanned":1}')
    driver = next(d for d in timeline.peaks["X"].drivers if d.label.startswith(signal["kind"] + "("))
    assert (driver.strength, driver.market) == (pytest.approx(strength), market)


def strength_from(signal, values):
    """A signal's strength from the market values the report shows for it."""
    kind, params = signal.kind, signal.params
    if values is None:
        return 0.0
    if kind == "oi_delta":
        raw = abs(values["oi_change"]) / params[1]
    elif kind == "oi_price_divergence":
        raw = max(values["price_change"] * -values["oi_change"], 0.0) / (params[1] * params[1])
    elif kind == "funding_flip":
        raw = abs(values["funding_rate"]) / params[0] * (2 if values["funding_rate"] * values["previous"] < 0 else 1)
    elif kind == "book_imbalance":
        raw = abs(values["imbalance"]) / params[0]
    else:
        raw = values["liquidated"] / params[1]
    return min(max(raw, 0.0), 1.0)


def test_market_values_at_every_peak_explain_the_radars_factors():
    """Over the whole sample, with a short window: what the report keeps per symbol is what the radar saw."""
    spec = json.loads(cli.DEFAULT_SPEC.read_text())
    for signal in spec["signals"]:
        if signal["kind"] in ("oi_delta", "oi_price_divergence"):
            signal["params"][0] = 7
    spec["signals"][3]["params"] = [5, 1e6]  # liq_cluster: the 5 latest
    timeline = report.Timeline(spec["signals"], spec["threshold"])
    for n, (symbol, event) in enumerate(read_events(str(cli.SAMPLE))):
        timeline.observe(symbol, event)
        if n % 3000 == 2999:
            timeline.checkpoint(event["ts"], [])
    signals = read_signals(spec)
    assert all(len(m.derivatives) <= 8 and len(m.liquidations) <= 8 for m in timeline._markets.values())
    checked = 0
    for peak in timeline.peaks.values():
        strengths = [d.strength for d in peak.drivers]
        assert strengths == sorted(strengths, reverse=True)
        for driver in peak.drivers:
            signal = next(s for s, label in zip(signals, timeline._labels) if label == driver.label)
            assert strength_from(signal, driver.values) == pytest.approx(driver.strength, abs=1e-8), driver
            checked += driver.strength > 0
    assert checked > 100


NASTY = ["$\\frac{a$", "$x_1$", "a\\$b", "$$", "1000$PEPE"]


def test_symbols_with_dollars_are_drawn_as_text(tmp_path):
    """matplotlib reads $...$ as mathematics: a symbol must show as written, and never stop the report."""
    events = tmp_path / "dollars.jsonl"
    events.write_text("".join(json.dumps({"symbol": s, **book(T0 + i, 30, 10 + i)}) + "\n"
                              for i, s in enumerate(NASTY)))
    (tmp_path / "spec.json").write_text('{"signals":[{"kind":"book_imbalance","params":[0.5]}],"threshold":0.5}')
    code = cli.main(["replay", "--spec", str(tmp_path / "spec.json"), "--every", "2", "--no-progress",
                     "--png", str(tmp_path / "out.png"), "--report", str(tmp_path / "out.html"), str(events)])
    assert code == 0
    assert png_size((tmp_path / "out.png").read_bytes()) == (1200, 1400)

    timeline = report.Timeline([{"kind": "book_imbalance", "params": [0.5]}], 0.5, title="replay of $a$.jsonl")
    for i, symbol in enumerate(NASTY):
        timeline.observe(symbol, book(T0 + i, 30, 10))
    timeline.checkpoint(T0 + 9, [{"symbol": s, "severity": 1.0, "factors": {}, "ts": T0} for s in NASTY])
    figure = report.draw(timeline)
    figure.savefig(io.BytesIO(), format="png")  # lays every text out
    drawn = figure.findobj(Text) + [cell.get_text() for ax in figure.axes for table in ax.tables
                                    for cell in table.get_celld().values()]
    shown = [t._preprocess_math(t.get_text()) for t in drawn if t.get_text() and t.get_visible()]
    assert not [text for text, math in shown if math]
    texts = [text for text, _ in shown]
    for symbol in NASTY:
        assert texts.count(symbol) >= 4  # legend, heatmap row, drivers table, final alerts
    assert "zolvar-radar replay of $a$.jsonl" not in texts and "replay of $a$.jsonl" in texts


def test_near_misses_when_nothing_alerts(tmp_path):
    spec = {"signals": [{"kind": "book_imbalance", "params": [1]}, {"kind": "oi_delta", "params": [1, 0.1]}],
            "threshold": 0.9}
    lines = [("A", book(T0, 30, 10)), ("B", book(T0 + 1, 20, 10)), ("C", book(T0 + 2, 10, 10)),
             ("A", deriv(T0 + 3, 100)), ("A", deriv(T0 + 4, 101)), ("B", book(T0 + 5, 10, 10))]
    events = tmp_path / "e.jsonl"
    events.write_text("".join(json.dumps({"symbol": s, **e}) + "\n" for s, e in lines))
    (tmp_path / "spec.json").write_text(json.dumps(spec))
    page = tmp_path / "out.html"
    assert cli.main(["replay", "--spec", str(tmp_path / "spec.json"), "--every", "3", "--no-progress",
                     "--report", str(page), str(events)]) == 0
    text = page.read_text(encoding="utf-8")
    assert "Symbols that alerted" not in text
    misses = text.split("<h2>Near misses</h2>")[1]
    # A peaks at the end (book 0.5 and open interest +1 %), B at the first checkpoint; C never moved
    assert re.findall(r"<td class=sym rowspan=2>(\w+)</td><td class=num rowspan=2>([\d.]+)</td>", misses) == \
        [("A", "0.300"), ("B", "0.167")]
    assert "book +0.33 bid-heavy: bids 20, asks 10" in misses  # B's book at its peak, not its last
    assert "OI +1.00% in 1 snapshot" in misses


def test_a_long_title_wraps_inside_the_picture():
    names = ", ".join(f"binance-futures_derivative_ticker_2024-05-{d:02d}.csv.gz" for d in range(1, 31))
    for title in (f"zolvar-radar replay of {names}, in bars of 1m", "x" * 400):
        timeline = report.Timeline([{"kind": "book_imbalance", "params": [0.5]}], 0.5, title=title)
        timeline.checkpoint(T0, [])
        figure = report.draw(timeline)
        figure.savefig(io.BytesIO(), format="png")
        box = figure._suptitle.get_window_extent()
        shown = figure._suptitle.get_text()
        assert box.x0 >= 0 and box.x1 <= figure.bbox.width
        assert shown.count("\n") <= 1 and shown.endswith("...") and shown.startswith(title[:12])


def test_page_in_a_browser(tmp_path):
    """What a reader sees: the picture loaded, factors strongest first, bold red from the threshold on,
    look-backs in bars, and what a liquidation's side means."""
    from headless import cells, loaded_images, render

    spec = {"signals": [{"kind": "oi_delta", "params": [2, 0.2]}, {"kind": "book_imbalance", "params": [0.5]},
                        {"kind": "liq_cluster", "params": [5, 1e6]}], "threshold": 0.3}
    events = [deriv(T0, 100), deriv(T0 + 60_000, 105), deriv(T0 + 120_000, 110), book(T0, 20, 10),
              liq(T0, "sell", 1e5)]
    timeline = report.Timeline(spec["signals"], spec["threshold"], title="replay of <day>.jsonl, in bars of 1m",
                               bar="1m")
    radar = report.Radar(json.dumps(spec))
    for event in events:
        timeline.observe("A", event)
        radar.command(json.dumps({"cmd": "feed", "symbol": "A", "event": event}))
    timeline.checkpoint(T0 + 120_000, radar.command('{"cmd":"alerts"}'))
    page = tmp_path / "replay.html"
    report.write_html(timeline, str(page))
    dom, shot = render(page, tmp_path)

    assert loaded_images(dom) == (1, ["1200x1400"])
    assert "<title>replay of &lt;day&gt;.jsonl, in bars of 1m</title>" in dom
    [_, alert] = cells(dom, "<h2>Alerts at the end</h2>")
    assert alert[1:4] == ["A", "0.422", "book_imbalance(0.5) 0.667, oi_delta(2,0.2) 0.500, "
                                        "liq_cluster(5,1000000) 0.100"]
    assert '<td class="num hot">0.422</td>' in dom  # below 0.5, above the threshold
    assert "OI +10.00% in 2 x 1m bars" in dom and "100% longs (sells)" in dom
    assert "at or above the threshold 0.3" in dom and '"sell" closes a long position' in dom
    assert shot.stat().st_size > 10_000
