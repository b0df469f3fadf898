"""The evaluation page, from a hand-made evaluation of one day, as a browser shows it."""

import csv
import json
import re
from pathlib import Path

import pytest

pytest.importorskip("matplotlib")
from zolvar_radar.evaluate_report import evaluation_png, write_evaluation_html  # noqa: E402

FIXTURES = Path(__file__).parent / "fixtures" / "evaluation"


@pytest.fixture(scope="module")
def evaluation():
    stats = json.loads((FIXTURES / "stats.json").read_text())
    with open(FIXTURES / "onsets.csv", newline="") as rows:
        return stats, list(csv.DictReader(rows))


def test_page_in_a_browser(evaluation, tmp_path):
    from headless import cells, loaded_images, render

    stats, onsets = evaluation
    page = tmp_path / "evaluation.html"
    write_evaluation_html(stats, onsets, str(page), title="evaluate of <day>.jsonl.gz")
    assert "http" not in page.read_text(encoding="utf-8")
    dom, shot = render(page, tmp_path, height=5200)

    assert loaded_images(dom) == (3, ["1000x420"] * 3)
    assert "<title>evaluate of &lt;day&gt;.jsonl.gz</title>" in dom
    assert "2,880,412 events, 1,440 checkpoints: 290 onsets, 3 of them without a price" in dom
    horizons = cells(dom, 'id="horizons"')
    assert horizons[0][:3] == ["horizon", "onsets", "resolved"]
    assert horizons[3] == ["4h", "287", "214", "73", "-0.36%", "+0.00%", "2.19%", "52.3%", "1.08", "0.91 – 1.29",
                           "1,000", "0.2117", "–"]  # no rank correlation: a dash, not 0
    assert horizons[1][11] == "< 0.0001"
    assert cells(dom, 'id="baseline"')[3] == ["4h", "5,740", "4,380", "1,360", "-0.09%", "-0.04%", "2.03%"]
    factors = cells(dom, 'id="factors"')
    flip = factors.index(next(r for r in factors if r[0] == "funding_flip(0.001)"))
    assert factors[flip + 2] == ["4h", "0", "–", "–", "–", "–"]  # nothing resolved at 4h
    assert [r[:3] for r in cells(dom, 'id="quintiles"') if r[0].startswith("Q")] == \
        [["Q1", "0.450 – 0.480", "57"], ["Q2", "0.480 – 0.520", "57"], ["Q3", "0.520 – 0.570", "58"],
         ["Q4", "0.570 – 0.640", "57"], ["Q5", "0.640 – 0.930", "58"]]
    best, worst = cells(dom, 'id="best"'), cells(dom, 'id="worst"')
    assert best[0][1] == "time (UTC)" and len(best) == len(worst) == 11
    assert best[1][:4] == ["<b>X&Y</b>", "2024-05-14 06:50:00", "0.699", "liq_cluster(20,2000000)"]
    assert best[1][-3:] == ["+9.31%", "+11.00%", "-0.20%"] and worst[1][-3] == "-8.74%"
    shown = {(r[0], r[1]) for r in best[1:] + worst[1:]}
    without_price = onsets[3]
    assert all(r[-3] != "–" for r in best[1:] + worst[1:]) and \
        (without_price["symbol"], without_price["clock"]) not in shown
    assert shot.stat().st_size > 50_000


HOLLOW = {  # evaluations that rest on little or nothing
    "nothing": {},
    "no onset": {"horizons": [{"horizon": "1h", "onsets": 0, "resolved": 0, "unresolved": 0, "mean_return": None,
                               "lift": None, "lift_ci": None, "p_value": None,
                               "baseline": {"onsets": 40, "resolved": 40, "mean_abs_return": 0.01}}],
                 "by_quintile": [], "by_factor": [], "event_study": [
                     {"offset": 180000, "onsets": {"mean": None, "count": 0, "low": None, "high": None},
                      "baseline": {"mean": 0.004, "count": 40, "low": 0.003, "high": 0.005}}]},
    "odd shapes": {"horizons": [{"horizon": "100"}, {"horizon": "200", "lift": 1.2, "lift_ci": [None, 2]}],
                   "by_quintile": [{"quintile": 1, "onsets": 1, "horizons": [{"resolved": 1, "lift": "x"}]}],
                   "event_study": {"offsets": [10, 20], "onsets": {"mean": [0.1, None], "count": [3, 1]}}},
}


@pytest.mark.parametrize("name", HOLLOW)
def test_figures_that_rest_on_nothing_show_a_dash(name, tmp_path):
    stats = HOLLOW[name]
    onsets = [{"symbol": "A", "clock": "7", "severity": "0.5", "factor": "", "price": "", "return_200": ""}]
    write_evaluation_html(stats, onsets, str(tmp_path / "page.html"))
    page = re.sub(r'src="data:[^"]*"', "", (tmp_path / "page.html").read_text(encoding="utf-8"))
    assert not re.search(r"\bnan\b", page.lower()) and "0.00%" not in page
    assert evaluation_png(stats)[:4] == b"\x89PNG"


def test_the_page_of_a_real_evaluation_shows_its_counts(tmp_path, capsys):
    # the engine's own figures, through the command line: every count the table promises is on the page
    from zolvar_radar.cli import main

    page, onsets = tmp_path / "e.html", tmp_path / "o.csv"
    assert main(["evaluate", "--every-ts", "15m", "--horizons", "15m,2h", "--report", str(page),
                 "--onsets", str(onsets), "--json"]) == 0
    stats = json.loads(capsys.readouterr().out)
    text = page.read_text()
    rows = list(csv.DictReader(onsets.open()))
    assert rows and all(r["symbol"] in text for r in rows[:3])
    cells = re.findall(r"<td[^>]*>([^<]*)</td>", text)
    for h in stats["horizons"]:  # the resamples each interval rests on, and the onsets resolved
        assert f"{h['bootstrap_used']:,}" in cells and f"{h['resolved']:,}" in cells, h["horizon"]
