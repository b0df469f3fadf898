"""The zolvar-radar command line: inputs, errors, output of scan, replay and check."""

import gzip
import importlib.util
import io
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from zolvar_radar import Radar, cli
from zolvar_radar.cli.tables import format_ts

T0 = 1715644800000  # 2024-05-14 00:00:00 UTC in epoch milliseconds
SPEC = {
    "signals": [
        {"kind": "oi_delta", "params": [1, 0.1]},
        {"kind": "book_imbalance", "params": [0.5]},
    ],
    "threshold": 0.3,
}
FULL_BOOK = '"bid_volume":1,"ask_volume":1,"best_bid":1,"best_ask":2'


def deriv(ts, oi, px=100.0):
    return {"kind": "derivatives", "ts": ts, "open_interest": oi, "funding_rate": 0.0001, "mark_price": px}


def book(ts, bid, ask):
    return {"kind": "orderbook", "ts": ts, "bid_volume": bid, "ask_volume": ask, "best_bid": 99.9, "best_ask": 100.1}


def flat(symbol, event):
    return json.dumps({"symbol": symbol, **event})


def wrapped(symbol, event):
    return json.dumps({"symbol": symbol, "event": event})


EVENTS = [
    ("BTC", deriv(T0, 100)),
    ("ETH", book(T0 + 1, 30, 10)),
    ("BTC", deriv(T0 + 60_000, 108, 99)),
    ("SOL", deriv(T0 + 60_001, 50)),
    ("ETH", deriv(T0 + 60_002, 10)),
]


def library_scan(spec, events):
    """What the library answers for the same events, built without the CLI's code."""
    groups = {}
    for symbol, event in events:
        groups.setdefault(symbol, []).append(event)
    return Radar(json.dumps(spec)).command(json.dumps({"cmd": "scan", "events": groups}))


@pytest.fixture
def spec_file(tmp_path):
    path = tmp_path / "spec.json"
    path.write_text(json.dumps(SPEC))
    return str(path)


def write_lines(path, lines, compress=False):
    data = "".join(line + "\n" for line in lines).encode()
    path.write_bytes(gzip.compress(data) if compress else data)
    return str(path)


def run(capsys, *args, hints=False):
    """The status, stdout and stderr of a command; the hint lines under refused lines left out unless asked for."""
    code = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return code, out, err if hints else without_hints(err)


def without_hints(err: str) -> str:
    return "".join(line for line in err.splitlines(True) if not line.startswith("  hint: "))


def run_module(*args, stdin=b""):
    return subprocess.run(
        [sys.executable, "-m", "zolvar_radar", *map(str, args)], input=stdin, capture_output=True, timeout=60
    )


# --- the bundled default run ------------------------------------------------


def test_default_run_ranks_sample_alerts(capsys):
    """No arguments: the sample day through the bundled spec, as a table that
    agrees with the library's own scan of the same lines."""
    table = run_module()
    assert table.returncode == 0, table.stderr
    code, out, _ = run(capsys, "scan", "--json")
    assert code == 0

    spec = json.loads(cli.DEFAULT_SPEC.read_text())
    with gzip.open(cli.SAMPLE, "rt") as f:
        events = [(line["symbol"], line) for line in map(json.loads, f)]
    assert out == library_scan(spec, events) + "\n"

    result = json.loads(out)
    assert result["scanned"] == 50
    assert 5 <= len(result["alerts"]) <= 15
    rows = re.findall(r"^\s*(\d+)\s+(\S+)\s+(\d\.\d{3})\s", table.stdout.decode(), re.M)
    assert [(int(r), s, float(v)) for r, s, v in rows] == [
        (rank, a["symbol"], round(a["severity"], 3)) for rank, a in enumerate(result["alerts"], 1)
    ]
    assert f"{len(rows)} alerts from 50 symbols" in table.stdout.decode()


def test_console_script_is_installed():
    script = Path(sys.executable).parent / "zolvar-radar"
    if not script.exists():
        pytest.skip("package not installed with its scripts")
    done = subprocess.run([script, "check"], capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert b"window     61 observations" in done.stdout


def test_shipped_sample_is_regenerated_exactly():
    """The sample is the seeded generator's output, small, and the default spec
    exercises every indicator kind."""
    assert cli.SAMPLE.stat().st_size < 3 * 1024 * 1024
    kinds = {s["kind"] for s in json.loads(cli.DEFAULT_SPEC.read_text())["signals"]}
    assert kinds == {"oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence"}

    tool = Path(__file__).resolve().parents[1] / "tools" / "gen_sample.py"
    spec = importlib.util.spec_from_file_location("gen_sample", tool)
    gen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen)
    assert gen.generate() == gzip.decompress(cli.SAMPLE.read_bytes())


# --- input forms --------------------------------------------------------------


@pytest.mark.parametrize("form", ["flat", "wrapped", "mixed", "gzip", "stdin", "stdin-gzip"])
def test_input_forms_give_the_library_scan(capsys, monkeypatch, tmp_path, spec_file, form):
    make = {"wrapped": wrapped}.get(form, flat)
    lines = [make(s, e) for s, e in EVENTS]
    if form == "mixed":
        lines = [wrapped(s, e) if i % 2 else flat(s, e) for i, (s, e) in enumerate(EVENTS)]
    lines.insert(2, "   ")  # blank lines are skipped
    path = write_lines(tmp_path / "events.jsonl", lines, compress=form.endswith("gzip"))
    if form.startswith("stdin"):
        data = Path(path).read_bytes()
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(io.BytesIO(data))))
        path = "-"
    code, out, err = run(capsys, "scan", "--spec", spec_file, "--json", path)
    assert (code, err) == (0, "")
    assert out == library_scan(SPEC, EVENTS) + "\n"


def test_real_stdin_pipe(spec_file):
    data = gzip.compress("".join(flat(s, e) + "\n" for s, e in EVENTS).encode())
    done = run_module("scan", "--spec", spec_file, "--json", "-", stdin=data)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == library_scan(SPEC, EVENTS) + "\n"


def test_symbol_is_read_as_json_reads_it(capsys, tmp_path, spec_file):
    # an escaped key repeats "symbol": the later one wins, as in any JSON reader
    line = '{"symbol":"A","\\u0073ymbol":"B",' + json.dumps(book(5, 30, 10))[1:]
    code, out, _ = run(capsys, "scan", "--spec", spec_file, "--json", write_lines(tmp_path / "e.jsonl", [line]))
    assert code == 0
    assert [a["symbol"] for a in json.loads(out)["alerts"]] == ["B"]


# --- bad lines and unreadable inputs ------------------------------------------

BAD_LINES = [
    ('{"symbol":"A","kind":"orderbook","ts":1}', "parse: missing field `bid_volume`"),
    ('{"symbol":"A","kind":"orderbook","ts":1.0,' + FULL_BOOK + "}",
     "parse: invalid type: floating point `1.0`, expected i64"),
    ('{"symbol":"A","event":{"kind":"trade","ts":1}}',
     "parse: unknown variant `trade`, expected one of `derivatives`, `orderbook`, `liquidation`"),
    ('{"symbol":"A","event":null}', "parse: invalid type: null, expected internally tagged enum Event"),
    ('{"kind":"orderbook","ts":1,' + FULL_BOOK + "}", 'bad spec: missing string "symbol"'),
    ('{"symbol":7,"kind":"orderbook","ts":1,' + FULL_BOOK + "}", 'bad spec: missing string "symbol"'),
    # the later of two "symbol" keys counts, even when spelt with an escape
    ('{"symbol":"A","\\u0073ymbol":5,"kind":"orderbook","ts":1,' + FULL_BOOK + "}",
     'bad spec: missing string "symbol"'),
    ("[1,2]", 'bad spec: missing string "symbol"'),
    # JSON faults carry positions within the line itself
    ('{"symbol":"A",', "parse: EOF while parsing a value at line 1 column 14"),
    ('{"symbol":"A","kind":"orderbook","ts":1,"bid_volume":NaN}', "parse: expected value at line 1 column 54"),
    ('{"symbol":"A","kind":"orderbook","ts":1,"bid_volume":1e400}', "parse: number out of range at line 1 column 58"),
    ('{"symbol":"A","kind":"orderbook","ts":1,' + FULL_BOOK + "} x", "parse: trailing characters at line 1 column 98"),
    ("not json", "parse: expected ident at line 1 column 2"),
    # a line cannot close its own event early and add members to the command
    ('{"symbol":"A","kind":"orderbook","ts":1,' + FULL_BOOK + '}],"B":[{"kind":"orderbook","ts":1,' + FULL_BOOK + "}",
     "parse: trailing characters at line 1 column 97"),
]


@pytest.mark.parametrize("command", ["scan", "replay"])
@pytest.mark.parametrize("line, error", BAD_LINES)
def test_bad_line_stops_with_radar_text(capsys, tmp_path, spec_file, command, line, error):
    path = write_lines(tmp_path / "e.jsonl", [flat(*EVENTS[0]), line, flat(*EVENTS[1])])
    code, _, err = run(capsys, command, "--spec", spec_file, path)
    assert (code, err) == (2, f"{path}:2: {error}\n")


@pytest.mark.parametrize("command", ["scan", "replay"])
def test_first_bad_line_is_reported(capsys, tmp_path, spec_file, command):
    # line 2 only fails in the radar, line 3 already in the JSON reader
    lines = [flat(*EVENTS[0]), '{"symbol":"A","kind":"orderbook","ts":1}', "{", flat(*EVENTS[1])]
    path = write_lines(tmp_path / "e.jsonl", lines)
    code, _, err = run(capsys, command, "--spec", spec_file, path, hints=True)
    # the radar's words, then a hint in ours
    assert (code, without_hints(err)) == (2, f"{path}:2: parse: missing field `bid_volume`\n")
    assert err.splitlines()[1].startswith("  hint: ")


@pytest.mark.parametrize("command", ["scan", "replay"])
def test_skip_bad_counts_and_keeps_the_rest(capsys, tmp_path, spec_file, command):
    lines = [flat(s, e) for s, e in EVENTS]
    lines.insert(1, "{")
    lines.insert(4, '{"symbol":"A","kind":"orderbook","ts":1}')
    first = write_lines(tmp_path / "a.jsonl", lines)
    second = write_lines(tmp_path / "b.jsonl", ["[]"])
    args = ["--json"] if command == "scan" else []
    code, out, err = run(capsys, command, "--spec", spec_file, "--skip-bad", *args, first, second, hints=True)
    assert code == 0
    hints = [line for line in err.splitlines() if line.startswith("  hint: ")]
    assert hints and len(hints) <= 3  # a line's hint stands under it, the radar's words untouched
    assert [line for line in err.splitlines() if not line.startswith("  hint: ")] == [
        f"{first}:2: parse: EOF while parsing an object at line 1 column 1",
        f"{first}:5: parse: missing field `bid_volume`",
        f"{second}:1: bad spec: missing string \"symbol\"",
        "skipped 3 bad lines",
    ]
    if command == "scan":
        assert out == library_scan(SPEC, EVENTS) + "\n"
    else:
        assert out.splitlines()[-1].startswith(f"replayed {len(EVENTS)} events for 3 symbols; ")


@pytest.mark.parametrize(
    "args, message",
    [
        (["scan", "{tmp}/nosuch.jsonl"], "{tmp}/nosuch.jsonl: No such file or directory"),
        (["replay", "{tmp}/ok.jsonl", "{tmp}/nosuch.jsonl"], "{tmp}/nosuch.jsonl: No such file or directory"),
        (["scan", "{tmp}/nodata"], "{tmp}/nodata: a directory without data files (.jsonl, .ndjson, .csv, each "
                                   "gzipped or not, or .parquet)"),
        (["scan", "--spec", "{tmp}/nosuch.json"], "{tmp}/nosuch.json: No such file or directory"),
        (["replay", "--spec", "{tmp}/empty.json"], "{tmp}/empty.json: bad spec: at least one signal is required"),
        (["check", "{tmp}/empty.json"], "{tmp}/empty.json: bad spec: at least one signal is required"),
        (["check", "{tmp}/broken.json"], "{tmp}/broken.json: parse: EOF while parsing a list at line 1 column 12"),
        (["check", "{tmp}/nosuch.json"], "{tmp}/nosuch.json: No such file or directory"),
        (["scan", "{tmp}/cut.gz"], "{tmp}/cut.gz: Compressed file ended before the end-of-stream marker was reached"),
    ],
)
def test_unreadable_inputs_give_one_line(capsys, tmp_path, args, message):
    (tmp_path / "empty.json").write_text('{"signals":[]}')
    (tmp_path / "nodata").mkdir()
    (tmp_path / "nodata" / "notes.txt").write_text(flat(*EVENTS[0]) + "\n")
    (tmp_path / "broken.json").write_text('{"signals":[')
    (tmp_path / "ok.jsonl").write_text(flat(*EVENTS[0]) + "\n")
    (tmp_path / "cut.gz").write_bytes(gzip.compress((flat(*EVENTS[0]) + "\n").encode() * 1000)[:60])
    code, out, err = run(capsys, *[a.format(tmp=tmp_path) for a in args])
    assert (code, out, err) == (2, "", message.format(tmp=tmp_path) + "\n")


@pytest.mark.parametrize(
    "args, message",
    [
        (["scan", "--save-state", "{tmp}/in.jsonl", "{tmp}/in.jsonl"], "--save-state {tmp}/in.jsonl: the same file as an input file"),
        (["scan", "--format-out", "csv", "--output", "{tmp}/link.jsonl", "{tmp}/in.jsonl"], "--output {tmp}/link.jsonl: the same file as an input file"),
        (["scan", "--spec", "{tmp}/spec.json", "--save-state", "{tmp}/spec.json", "{tmp}/in.jsonl"], "--save-state {tmp}/spec.json: the same file as the --spec file"),
        (["evaluate", "--onsets", "{tmp}/x.csv", "--report", "{tmp}/x.csv", "{tmp}/in.jsonl"], "--onsets {tmp}/x.csv and --report {tmp}/x.csv name the same file"),
        (["sweep", "--best", "{tmp}/grid.json", "{tmp}/grid.json", "{tmp}/in.jsonl"], "--best {tmp}/grid.json: the same file as the grid file"),
        (["watch", "--source", "file:{tmp}/other.jsonl,{tmp}/in.jsonl", "--sink", "jsonl:{tmp}/in.jsonl"], "--sink jsonl:{tmp}/in.jsonl: the same file as a --source file"),
    ],
)
def test_an_output_never_overwrites_an_input(capsys, tmp_path, args, message):
    data = (flat(*EVENTS[0]) + "\n").encode()
    for name, content in (("in.jsonl", data), ("spec.json", json.dumps(SPEC).encode()), ("grid.json", b"[]")):
        (tmp_path / name).write_bytes(content)
    (tmp_path / "link.jsonl").symlink_to(tmp_path / "in.jsonl")
    code, out, err = run(capsys, *[a.format(tmp=tmp_path) for a in args])
    assert (code, out) == (2, "")
    assert err.startswith(message.format(tmp=tmp_path)) and err.count("\n") == 1
    assert (tmp_path / "in.jsonl").read_bytes() == data and not (tmp_path / "x.csv").exists()


@pytest.mark.parametrize("args", [
    ["check", "{spec}"],
    ["scan", "--spec", "{spec}"],
    ["watch", "--source", "file:{sample}", "--every-ts", "1h", "--state", "{tmp}/w.state", "--sink", "jsonl"],
])
def test_a_reader_gone_before_any_output_ends_quietly(tmp_path, spec_file, args):
    from zolvar_radar.cli.specs import SAMPLE

    r, w = os.pipe()
    os.close(r)
    try:
        done = subprocess.run([sys.executable, "-m", "zolvar_radar",
                               *[a.format(spec=spec_file, sample=SAMPLE, tmp=tmp_path) for a in args]],
                              stdout=w, stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(w)
    assert (done.returncode, done.stderr) == (0, b"")
    assert "--state" not in args or (tmp_path / "w.state").exists()  # saved where it stopped


TYPO = {"signals": [{"kind": "book_imbalance", "params": [0.5]}], "treshold": 0.5}


@pytest.mark.parametrize("args, grid, expected", [
    (["scan", "--threshold", "2", "{tmp}/in.jsonl"], None,
     "--threshold 2: warning: threshold: 2 is never reached"),
    (["sweep", "{tmp}/grid.json", "{tmp}/in.jsonl"], [TYPO, dict(TYPO, limit=3)],
     "{tmp}/grid.json: candidates 0, 1: warning: treshold: unknown member, did you mean threshold?"),
    (["sweep", "--strict", "{tmp}/grid.json", "{tmp}/in.jsonl"], {"base": TYPO, "vary": {"limit": [1, 2]}},
     "{tmp}/grid.json: base: treshold: unknown member, did you mean threshold? (refused by --strict)"),
])
def test_warnings_name_where_the_value_came_from(capsys, tmp_path, args, grid, expected):
    (tmp_path / "in.jsonl").write_text(flat(*EVENTS[0]) + "\n")
    (tmp_path / "grid.json").write_text(json.dumps(grid))
    code, out, err = run(capsys, *[a.format(tmp=tmp_path) for a in args])
    assert expected.format(tmp=tmp_path) in err.splitlines()[0]
    assert code == (2 if "--strict" in args else 0)


def test_sweep_writes_no_winner_it_could_not_choose(capsys, tmp_path):
    (tmp_path / "in.jsonl").write_text(flat(*EVENTS[0]) + "\n")
    (tmp_path / "grid.json").write_text(json.dumps([SPEC, dict(SPEC, limit=1)]))
    code, out, err = run(capsys, "sweep", "--best", tmp_path / "best.json", tmp_path / "grid.json", tmp_path / "in.jsonl")
    assert code == 2 and "best: none: no candidate has a lift at 1h in sample" in out
    assert err.endswith("not written: no candidate has a lift at 1h in sample to choose by\n")
    assert not (tmp_path / "best.json").exists()


@pytest.mark.parametrize("command", ["replay", "evaluate"])
def test_a_file_going_back_in_time_is_named_once(capsys, tmp_path, command):
    lines = [flat("A", deriv(T0 + 7_200_000, 100)), flat("A", deriv(T0, 101)), flat("A", deriv(T0 + 1, 102))]
    path = write_lines(tmp_path / "back.jsonl", lines)
    code, out, err = run(capsys, command, "--every", "1", path)
    assert code == 0 and err.count("time goes back") == 1
    assert f"warning: {path}:2: time goes back from {T0 + 7_200_000} to {T0};" in err


def test_a_directory_reads_as_its_data_files_in_path_order(capsys, tmp_path, spec_file):
    half = len(EVENTS) // 2
    (tmp_path / "d" / "2").mkdir(parents=True)
    write_lines(tmp_path / "d" / "2" / "b.jsonl.gz", [flat(*e) for e in EVENTS[half:]], compress=True)
    write_lines(tmp_path / "d" / "1.jsonl", [flat(*e) for e in EVENTS[:half]])
    for ignored in ("_SUCCESS.jsonl", ".part.jsonl", "notes.txt"):
        (tmp_path / "d" / ignored).write_text("not an event\n")
    whole = run(capsys, "replay", "--json", "--spec", spec_file,
                write_lines(tmp_path / "all.jsonl", [flat(*e) for e in EVENTS]))
    assert run(capsys, "replay", "--json", "--spec", spec_file, tmp_path / "d") == whole


@pytest.mark.parametrize("args, message", [
    (["scan", "--threshold", "abc"], "argument --threshold: not a number: abc"),
    (["evaluate", "--cooldown", "1.5"], "argument --cooldown: not a whole number: 1.5"),
    (["sweep", "--split", "x", "g.json"], "argument --split: not a number: x"),
    (["evaluate", "--judge-from", "tomorrow"], "argument --judge-from: must be whole timestamp units or an ISO date"),
    (["--limit", "0"], "zolvar-radar scan: error: argument --limit: must be a positive integer: 0"),
])
def test_option_values_are_refused_in_words(capsys, args, message):
    with pytest.raises(SystemExit) as exit:
        cli.main(args)
    assert exit.value.code == 2 and message in capsys.readouterr().err


# --- replay -------------------------------------------------------------------

# One symbol whose book swings: strong, weaker, balanced; another stays quiet.
REPLAY_SPEC = {"signals": [{"kind": "book_imbalance", "params": [0.5]}], "threshold": 0.5}
REPLAY_EVENTS = [
    ("A", book(T0 + 1_000, 30, 10)),  # imbalance 0.5 -> 1.0
    ("B", book(T0 + 2_000, 10, 10)),
    ("A", book(T0 + 2_500, 20, 10)),  # 0.33 -> 0.667
    ("A", book(T0 + 4_000, 11, 10)),  # 0.05 -> 0.095, gone
]


@pytest.mark.parametrize(
    "options, expected",
    [
        (["--every", "1"], [("00:00:01", "new", "A", "1.000"), ("00:00:02", "down", "A", "1.000 -> 0.667"),
                            ("00:00:04", "cleared", "A", "")]),
        (["--every", "1", "--min-move", "0.5"], [("00:00:01", "new", "A", "1.000"), ("00:00:04", "cleared", "A", "")]),
        (["--every", "3"], [("00:00:02", "new", "A", "0.667"), ("00:00:04", "cleared", "A", "")]),
        (["--every-ts", "3000"], [("00:00:02", "new", "A", "0.667"), ("00:00:04", "cleared", "A", "")]),
        (["--every-ts", "100000"], []),
    ],
)
def test_replay_reports_changes(capsys, tmp_path, options, expected):
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(REPLAY_SPEC))
    path = write_lines(tmp_path / "e.jsonl", [flat(s, e) for s, e in REPLAY_EVENTS])
    code, out, err = run(capsys, "replay", "--spec", spec, *options, path)
    assert (code, err) == (0, "")
    *changes, summary = out.splitlines()
    rows = []
    for line in changes:
        when, tag, symbol, *severity = re.split(r"\s{2,}", line.strip())[:4]
        assert when.startswith("2024-05-14 ")
        rows.append((when[11:], tag, symbol, "".join(severity)))
    assert rows == expected
    assert summary == "replayed 4 events for 2 symbols; 0 alerts active at 2024-05-14 00:00:04"


# --- check --------------------------------------------------------------------


@pytest.mark.parametrize(
    "spec, labels, window, threshold, limit",
    [
        ({"signals": [{"kind": "oi_delta", "params": [3, 0.05]},
                      {"kind": "liq_cluster", "params": [10, 1e6], "weight": 2}], "threshold": 0.4, "limit": 5},
         ["oi_delta(3,0.05)", "liq_cluster(10,1000000)"], "11 observations per series (longest look-back 10, plus one)",
         "0.4", "5"),
        # array forms, rounded labels, and no look-back at all
        ([[], [], [["funding_flip", [0.30000000000000004]], {"kind": {"book_imbalance": None}, "params": [0.009]}]],
         ["funding_flip(0.3)", "book_imbalance(0.009000000000000001)"],
         "2 observations per series (no look-back signal)", "0.0", "none"),
        ({"signals": [{"kind": "oi_price_divergence", "params": [2.9, 0.1]}], "limit": None},
         ["oi_price_divergence(2.9,0.1)"], "3 observations per series (longest look-back 2, plus one)", "0.0", "none"),
        ({"signals": [{"kind": "oi_delta", "params": [0.5, 1], "weight": 0}]},
         ["oi_delta(0.5,1)"], "2 observations per series (no look-back signal)", "0.0", "none"),
    ],
)
def test_check_shows_signals(capsys, tmp_path, spec, labels, window, threshold, limit):
    path = tmp_path / "spec.json"
    path.write_text(json.dumps(spec))
    code, out, err = run(capsys, "check", path)
    assert (code, err) == (0, "")
    lines = [line.strip() for line in out.splitlines()]
    assert lines[0] == f"{path}: ok, {len(labels)} signal{'s' if len(labels) > 1 else ''}"
    shown = [re.split(r"\s+", line)[1] for line in lines if re.match(r"\d+\s", line)]
    assert shown == labels
    assert f"window     {window}" in lines
    assert f"threshold  {threshold}" in lines
    assert f"limit      {limit}" in lines


@pytest.mark.parametrize(
    "ts, text",
    [(T0, "2024-05-14 00:00:00"), (T0 + 59_999, "2024-05-14 00:00:59"), (1_700_000_000, "1700000000"),
     (-5, "-5"), (-(2**63), "-")],
)
def test_timestamps_shown_as_utc_only_when_epoch_ms(ts, text):
    assert format_ts(ts) == text


@pytest.mark.parametrize("args", [["scan", "--json"], ["scan", "--json", "--bar", "1m"], ["replay", "--every", "5000"]])
def test_commands_that_draw_nothing_load_no_rich_nor_report(args):
    # rich and the report take longer to import than a small scan takes to run
    code = ("import io, sys, contextlib; from zolvar_radar import cli\n"
            "with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):\n"
            f"    assert cli.main({args!r}) == 0\n"
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('rich', 'asyncio', 'ssl')\n"
            "             or m == 'zolvar_radar.report'))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    # asyncio and ssl (the live commands' needs) took 60 ms of every command's start
    assert out.strip() == "[]"


@pytest.mark.parametrize("command", ["scan", "replay"])
@pytest.mark.parametrize("strict", [False, True])
def test_spec_warnings_precede_any_reading(capsys, tmp_path, command, strict):
    spec = tmp_path / "typo.json"
    spec.write_text(json.dumps({"signals": [{"kind": "book_imbalance", "params": [0.5]}], "treshold": 0.5}))
    events = write_lines(tmp_path / "e.jsonl", [flat(s, e) for s, e in EVENTS])
    code, out, err = run(capsys, command, "--spec", spec, *(["--strict"] if strict else []), events)
    lines = err.splitlines()
    assert lines[0] == f"{spec}: {'' if strict else 'warning: '}treshold: unknown member, did you mean threshold?" \
        + (" (refused by --strict)" if strict else "")
    assert len(lines) == 2 and "every symbol is an alert" in lines[1]
    assert (code, out == "") == ((2, True) if strict else (0, False))


LONG = "1000000BABYDOGEUSDT-PERP-SWAP-XYZ"  # 33 characters


def test_piped_tables_are_never_cut(capsys, spec_file, tmp_path):
    events = write_lines(tmp_path / "e.jsonl", [flat(LONG if s == "ETH" else s, e) for s, e in EVENTS])
    code, out, _ = run(capsys, "scan", "--spec", spec_file, events)
    assert code == 0 and "…" not in out and "..." not in out
    assert not any(line.endswith(" ") for line in out.splitlines())
    header = next(line for line in out.splitlines() if "severity" in line).split()
    assert header == ["#", "symbol", "severity", "strongest", "factors", "last", "event"]
    row = next(line for line in out.splitlines() if LONG in line).split()
    assert row[0].isdigit() and re.fullmatch(r"0\.\d{3}", row[2]) and re.fullmatch(r"\d\d:\d\d:\d\d", row[-1])


@pytest.mark.parametrize("width", [30, 50, 70, 90])
def test_a_narrow_terminal_never_cuts_rank_nor_severity(width):
    from rich.console import Console

    from zolvar_radar.cli.tables import print_table

    factors = {"oi_delta(60,0.1)": 1.0, "liq_cluster(20,2000000)": 0.5, "book_imbalance(0.6)": 0.25}
    result = {"scanned": 2, "alerts": [{"symbol": LONG, "severity": 0.61234, "ts": T0, "factors": factors},
                                       {"symbol": "BTC", "severity": 0.4, "ts": T0 + 1000, "factors": factors}]}
    console = Console(width=width, force_terminal=True, color_system=None, file=io.StringIO())
    print_table(result, console)
    text = console.file.getvalue()
    assert re.search(r"^ 1 .*0\.612 .*00:00:00", text, re.M) and re.search(r"^ 2 .*0\.400 ", text, re.M)
    assert "severity" in text


@pytest.mark.parametrize("command", ["scan", "replay"])
def test_a_bad_option_shows_the_commands_own_usage(capsys, command):
    with pytest.raises(SystemExit) as stopped:
        cli.main([command, "--no-such-option"])
    err = capsys.readouterr().err
    assert stopped.value.code == 2 and err.startswith(f"usage: zolvar-radar {command} ")
    assert err.splitlines()[-1] == f"zolvar-radar {command}: error: unrecognized arguments: --no-such-option"


@pytest.mark.parametrize("form", ["object", "array"])
@pytest.mark.parametrize("options, changed", [
    (["--threshold", "0.05"], {"threshold": 0.05}),
    (["--limit", "1"], {"limit": 1}),
    (["--threshold", "0", "--limit", "2"], {"threshold": 0.0, "limit": 2}),
])
def test_threshold_and_limit_overrides(capsys, tmp_path, form, options, changed):
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(SPEC if form == "object" else [[], [], SPEC["signals"]]))
    events = write_lines(tmp_path / "e.jsonl", [flat(s, e) for s, e in EVENTS])
    base = SPEC if form == "object" else {"signals": SPEC["signals"]}
    code, out, _ = run(capsys, "scan", "--json", "--spec", spec, *options, events)
    assert (code, out) == (0, library_scan({**base, **changed}, EVENTS) + "\n")


def test_a_scheduler_that_does_not_answer_fails_within_the_timeout(capsys):
    pytest.importorskip("distributed")
    import time

    started = time.monotonic()
    code, out, err = run(capsys, "scan", "--dask", "tcp://127.0.0.1:9", "--dask-timeout", "0.5")
    assert (code, out, err) == (2, "", "dask scheduler tcp://127.0.0.1:9: no answer within 0.5 s (see --dask-timeout)\n")
    assert time.monotonic() - started < 10
