"""replay --report / --png: the picture and the page for the bundled sample day."""

import base64
import json
import re
import struct

import pytest
from zolvar_radar import cli, report

pytest.importorskip("matplotlib")


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
    assert png_size(report.png_bytes(timeline)) == (1200, 1000)


def test_missing_matplotlib_is_a_one_line_error(monkeypatch, capsys, tmp_path):
    monkeypatch.setattr(cli, "matplotlib_missing", lambda: "matplotlib is not installed")
    assert cli.main(["replay", "--png", str(tmp_path / "x.png")]) == 2
    out, err = capsys.readouterr()
    assert (out, err) == ("", "--report and --png need matplotlib: matplotlib is not installed\n")
    assert not (tmp_path / "x.png").exists()
