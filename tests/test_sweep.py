"""`sweep`: one reading, every candidate as `evaluate` judges it alone, the trials counted, bad grids refused."""

import json
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import planted
import zolvar_radar
from zolvar_radar.cli import main
from zolvar_radar.evaluate import evaluate
from zolvar_radar.grid import GridError, read_grid

HORIZONS = ["10m", "45m", "2h"]
OI = {"signals": [{"kind": "oi_delta", "params": [1, 0.1]}], "threshold": 0.5, "limit": 5}
METRIC_KEY = {"lift": "lift", "hit_rate": "hit_rate", "rank_ic": "rank_ic"}


@pytest.fixture(scope="module")
def planted_file(tmp_path_factory):
    return planted.write(str(tmp_path_factory.mktemp("sweep") / "planted.jsonl"), planted.generate(seed=7, delay=30))


def windows(stats):
    return [{k: v for k, v in stats[side].items() if v is not None} for side in ("in_sample", "out_of_sample")]


def test_a_planted_signal_is_found_out_of_sample_and_survives_the_trials(planted_file):
    # Thresholds below the noise alert on every wiggle and drown the surges; the others catch them.
    grid = {"base": OI, "vary": {"signals.0.params.0": [1, 2],
                                 "threshold": [0.0005, 0.001, 0.002, 0.003, 0.004, 0.005, 0.006, 0.007, 0.5, 0.9]}}
    stats = zolvar_radar.sweep([planted_file], grid, horizons=HORIZONS, every_ts="1m").stats
    best = stats["best"]
    assert stats["candidates"] == 20 and stats["horizon"] == "45m"
    assert best["spec"]["threshold"] >= 0.5
    assert best["out_of_sample"]["lift"] > 2 and best["p_adjusted"] < 0.01
    assert best["out_of_sample"]["lift_ci"][0] > 1.5
    assert stats["pbo"] < 0.3


def test_noise_looks_good_in_sample_only(tmp_path):
    noise = planted.write(str(tmp_path / "noise.jsonl"), planted.generate(seed=8, planted=0))
    grid = {"base": OI, "vary": {"signals.0.params.0": [1, 2, 3, 5, 8, 13, 21, 34, 55, 89],
                                 "signals.0.params.1": [0.0005, 0.001, 0.002, 0.004, 0.008],
                                 "threshold": [0.3, 0.5, 0.7, 0.9]}}
    stats = zolvar_radar.sweep([noise], grid, horizons=HORIZONS, every_ts="1m").stats
    best = stats["best"]
    assert stats["candidates"] == 200
    assert best["metric_in_sample"] > 1.05 and best["metric_out_of_sample"] < best["metric_in_sample"]
    assert best["out_of_sample"]["p_value"] > 0.05 and best["p_adjusted"] > 0.5
    assert stats["pbo"] >= 0.3 and stats["pbo_combinations"] == 70
    # the winner does no better than the best of as many no-skill candidates
    assert stats["expected_max_null"] >= best["metric_in_sample"] * 0.9


@settings(max_examples=6, deadline=None, suppress_health_check=list(HealthCheck))
@given(seed=st.integers(0, 50), looks=st.lists(st.sampled_from([1, 2, 3, 6]), min_size=1, max_size=3, unique=True),
       thresholds=st.lists(st.sampled_from([0.001, 0.1, 0.5, 0.9]), min_size=1, max_size=3, unique=True),
       weights=st.lists(st.sampled_from([0.5, 1, 3]), min_size=1, max_size=2, unique=True),
       omit=st.booleans(), cooldown=st.sampled_from([0, 3]), baseline=st.sampled_from([0, 3, 20]),
       every_ts=st.sampled_from(["1m", "7m"]), metric=st.sampled_from(["lift", "hit_rate", "rank_ic@2h"]),
       folds=st.sampled_from([None, 3]))
def test_every_candidate_is_judged_as_evaluate_judges_it_alone(tmp_path_factory, seed, looks, thresholds, weights,
                                                               omit, cooldown, baseline, every_ts, metric, folds):
    path = str(tmp_path_factory.mktemp("prop") / "p.jsonl")
    planted.write(path, planted.generate(symbols=8, hours=3, planted=4, episodes=2, delay=20, seed=seed))
    base = {"signals": [{"kind": "oi_delta", "params": [1, 0.1]},
                        {"kind": "oi_price_divergence", "params": [2, 0.02], "weight": 1}], "threshold": 0.5}
    vary = {"signals.0.params.0": looks, "threshold": thresholds, "signals.1.weight": weights}
    if omit:
        vary["signals.1.omit"] = [False, True]
    options = dict(horizons=HORIZONS, every_ts=every_ts, cooldown=cooldown, baseline=baseline, seed=seed)
    result = zolvar_radar.sweep([path], {"base": base, "vary": vary}, metric=metric, folds=folds, top=3, **options)
    stats = result.stats
    name, _, at = metric.partition("@")
    h = HORIZONS.index(at) if at else 1
    inside, outside = windows(stats)
    for j, spec in enumerate(result.grid.candidates):
        got = [evaluate([path], json.dumps(spec), judge_from=w.get("judge_from"), judge_to=w.get("judge_to"),
                        **options).stats["horizons"][h] for w in (inside, outside)]
        assert [g[METRIC_KEY[name]] for g in got] == [stats["metric_in_sample"][j], stats["metric_out_of_sample"][j]]
        for entry in stats["top"]:
            if entry["candidate"] == j:
                assert [entry["in_sample"], entry["out_of_sample"]] == got


def test_best_reproduces_its_figures_through_evaluate(planted_file, tmp_path, capsys):
    grid = tmp_path / "grid.json"
    grid.write_text(json.dumps({"base": OI, "vary": {"threshold": [0.002, 0.5], "signals.0.params.0": [1, 3]}}))
    best = tmp_path / "best.json"
    common = ["--every-ts", "1m", "--horizons", ",".join(HORIZONS), "--json"]
    assert main(["sweep", *common, "--best", str(best), "--no-progress", str(grid), planted_file]) == 0
    stats = json.loads(capsys.readouterr().out)
    t = stats["out_of_sample"]["judge_from"]
    assert main(["evaluate", *common, "--spec", str(best), "--judge-from", str(t), planted_file]) == 0
    evaluated = json.loads(capsys.readouterr().out)
    assert evaluated["horizons"][1] == stats["best"]["out_of_sample"]
    assert json.loads(best.read_text()) == stats["best"]["spec"]


@pytest.mark.parametrize("grid, words", [
    ({"base": OI, "vary": {"treshold": [0.1]}}, "unknown place 'treshold' in \"vary\" (did you mean 'threshold'?)"),
    ({"bse": OI}, "unknown grid member 'bse' (did you mean 'base'?)"),
    ({"base": OI, "vary": {"signals.0.weight": []}}, "vary 'signals.0.weight': the list is empty"),
    ([], "the grid is an empty list"),
    ({"base": OI, "vary": {"signals.0.weight": [1, -1]}}, "candidate 1 (signals.0.weight=-1): bad spec: "),
    ({"base": OI, "vary": {"signals.0.omit": [True]}}, "candidate 0 (the base): "),
    ({"base": OI, "vary": {"signals.0.params.0": list(range(1, 102)), "threshold": list(range(100))}},
     "10100 candidates is more than --max 10000"),
])
def test_a_bad_grid_gets_one_line_and_status_2_before_reading(tmp_path, capsys, grid, words):
    path = tmp_path / "grid.json"
    path.write_text(json.dumps(grid))
    # the file does not exist: a grid refused first never gets to say so
    assert main(["sweep", str(path), str(tmp_path / "missing.jsonl")]) == 2
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and words in err, err


def test_sample_draws_the_same_candidates_for_a_seed():
    grid = {"base": OI, "vary": {"signals.0.params.0": list(range(1, 60)), "threshold": [0.1, 0.2, 0.3]}}
    a, b = read_grid(grid, sample=10, seed=3), read_grid(grid, sample=10, seed=3)
    assert a.candidates == b.candidates and len(a) == 10 and a.total == 177
    assert read_grid(grid, sample=10, seed=4).candidates != a.candidates
    with pytest.raises(GridError):
        read_grid(grid, sample=20, max_candidates=10)


def test_an_array_of_specifications_is_a_grid_and_names_what_differs():
    specs = [OI, {**OI, "threshold": 0.7}, {**OI, "limit": 9}]
    g = read_grid(specs)
    assert g.candidates == specs
    assert g.params == [{"threshold": 0.5, "limit": 5}, {"threshold": 0.7, "limit": 5}, {"threshold": 0.5, "limit": 9}]


def test_shares_combine_into_the_one_process_answer(planted_file):
    from zolvar_radar._engine import engine

    grid = read_grid({"base": OI, "vary": {"threshold": [0.002, 0.5, 0.9], "signals.0.params.0": [1, 2]}})
    whole = zolvar_radar.sweep([planted_file], grid, horizons=HORIZONS, every_ts="1m", top=4).stats
    texts = [json.dumps(c) for c in grid.candidates]
    parts = []
    for first, share in ((0, texts[:4]), (4, texts[4:])):
        s = engine.Sweep([planted_file], share, 2_700_000, "45m", 1, "lift", every_ts=60_000, top=4, first=first,
                         total=len(texts))
        while s.advance(100) == "running":
            pass
        parts.append(s.partial())
    from zolvar_radar.sweep import decorate

    assert decorate(engine.sweep_combine(parts[::-1]), grid) == whole
    with pytest.raises(ValueError, match="missing"):
        engine.sweep_combine(parts[:1])
    with pytest.raises(ValueError, match="damaged"):
        engine.sweep_combine([parts[0][:-3], parts[1]])


def test_the_page_shows_the_winner_and_a_heatmap(planted_file, tmp_path):
    from headless import render

    grid = read_grid({"base": OI, "vary": {"threshold": [0.002, 0.5], "signals.0.params.0": [1, 2, 3]}})
    result = zolvar_radar.sweep([planted_file], grid, horizons=HORIZONS, every_ts="1m")
    from zolvar_radar.sweep_report import write_sweep_html

    page = tmp_path / "sweep.html"
    write_sweep_html(result.stats, grid, str(page))
    dom, shot = render(page, tmp_path)
    assert f'<b id="best">{result.stats["best"]["candidate"]}</b>' in dom
    assert dom.count("<rect") == 6 and dom.count("<circle") == 6
    assert shot.stat().st_size > 10_000


def test_dask_shares_give_the_one_process_answer(planted_file):
    pytest.importorskip("distributed")
    from zolvar_radar.distributed import local_cluster
    from zolvar_radar.distributed_sweep import sweep_on_dask
    from distributed import Client

    grid = read_grid({"base": OI, "vary": {"threshold": [0.002, 0.5, 0.9], "signals.0.params.0": [1, 2]}})
    whole = zolvar_radar.sweep([planted_file], grid, horizons=HORIZONS, every_ts="1m", folds=3).stats
    with local_cluster(processes=False) as cluster, Client(cluster) as client:
        split = sweep_on_dask([planted_file], grid, address=client, shares=3, horizons=HORIZONS, every_ts="1m",
                              folds=3).stats
    assert split == whole
