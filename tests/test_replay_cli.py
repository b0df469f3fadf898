"""`zolvar-radar replay`: output files checked up front, Ctrl-C, notional quantities, checkpoint output."""

import io
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from zolvar_radar import Radar
from zolvar_radar.cli import replay as replay_cli
from zolvar_radar.cli.console import Failure, LazyConsole
from zolvar_radar.adapters import read_events

from test_cli import REPLAY_EVENTS, REPLAY_SPEC, flat, run, write_lines

LIQUIDATIONS = Path(__file__).parent / "fixtures" / "tardis" / "bybit_liquidations_2024-05-14.csv"


@pytest.fixture
def replay_files(tmp_path):
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(REPLAY_SPEC))
    return str(spec), write_lines(tmp_path / "e.jsonl", [flat(s, e) for s, e in REPLAY_EVENTS])


@pytest.mark.parametrize("option, target, message", [
    ("--report", "nosuch/r.html", "{tmp}/nosuch/r.html: No such file or directory"),
    ("--png", "nosuch/r.png", "{tmp}/nosuch/r.png: No such file or directory"),
    ("--report", "", "{tmp}/: Is a directory"),
    ("--png", "r.jpg", "--png {tmp}/r.jpg: the picture is written as PNG; give a name ending in .png"),
    ("--png", "r", "--png {tmp}/r: the picture is written as PNG; give a name ending in .png"),
])
def test_an_output_that_cannot_be_written_stops_before_reading(capsys, tmp_path, option, target, message):
    pytest.importorskip("matplotlib")
    # the input does not exist: the output is refused before any reading is tried
    code, out, err = run(capsys, "replay", option, f"{tmp_path}/{target}", tmp_path / "missing.jsonl")
    assert (code, out, err) == (2, "", message.format(tmp=tmp_path) + "\n")
    assert not any(tmp_path.iterdir())


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes anywhere")
def test_a_read_only_directory_is_refused(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    folder = tmp_path / "ro"
    folder.mkdir(mode=0o500)
    code, _, err = run(capsys, "replay", "--png", folder / "r.png", tmp_path / "missing.jsonl")
    assert (code, err) == (2, f"{folder}/r.png: Permission denied\n")


def test_the_check_leaves_an_existing_report_alone(capsys, tmp_path, replay_files):
    pytest.importorskip("matplotlib")
    spec, _ = replay_files
    report = tmp_path / "r.html"
    report.write_text("yesterday's")
    bad = write_lines(tmp_path / "bad.jsonl", ["{"])
    code, _, err = run(capsys, "replay", "--spec", spec, "--report", report, bad)
    assert (code, err) == (2, f"{bad}:1: parse: EOF while parsing an object at line 1 column 1\n")
    assert report.read_text() == "yesterday's"


def test_ctrl_c_reports_what_was_replayed(capsys, monkeypatch, tmp_path, replay_files):
    pytest.importorskip("matplotlib")
    spec, events = replay_files
    checked, drawn = [], []
    check, write_reports = replay_cli.Checkpoints.check, replay_cli.write_reports

    def interrupting_check(self, clock):
        check(self, clock)
        checked.append(clock)
        if len(checked) == 2:
            os.kill(os.getpid(), signal.SIGINT)

    def spying_write_reports(timeline, args, err):
        drawn.append((timeline.events, list(timeline.clocks)))
        write_reports(timeline, args, err)

    monkeypatch.setattr(replay_cli.Checkpoints, "check", interrupting_check)
    monkeypatch.setattr(replay_cli, "write_reports", spying_write_reports)
    report, png = tmp_path / "r.html", tmp_path / "r.png"
    handler = signal.getsignal(signal.SIGINT)
    code, out, err = run(capsys, "replay", "--spec", spec, "--every", "1", "--report", report, "--png", png, events)
    assert code == 130
    assert out.splitlines()[-1] == "replayed 2 events for 2 symbols; 1 alert active at 2024-05-14 00:00:02"
    assert err.splitlines() == ["interrupted after 2 events, at 2024-05-14 00:00:02 UTC", f"wrote {png}",
                                f"wrote {report}"]
    clocks = [e["ts"] for _, e in REPLAY_EVENTS[:2]]
    assert checked == clocks and drawn == [(2, clocks)]  # no checkpoint after the interruption
    assert png.read_bytes().startswith(b"\x89PNG") and "<html" in report.read_text()
    assert signal.getsignal(signal.SIGINT) is handler


@pytest.mark.parametrize("notional", [False, True])
def test_notional_quantities_reach_the_radar(capsys, tmp_path, notional):
    # 100,000 quote units fill the cluster; base amounts of 0.75 and 400 never do
    spec = {"signals": [{"kind": "liq_cluster", "params": [3, 100_000]}], "threshold": 0.5}
    spec_path = tmp_path / "spec.json"
    spec_path.write_text(json.dumps(spec))
    radar = Radar(json.dumps(spec))
    for symbol, event in read_events(LIQUIDATIONS, notional=notional):
        radar.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event}))
    expected = json.loads(radar.command('{"cmd":"alerts"}'))["alerts"]
    options = ["--notional"] if notional else []
    code, out, _ = run(capsys, "replay", "--spec", spec_path, "--every", "100", *options, LIQUIDATIONS)
    assert code == 0
    shown = [line.split()[3:5] for line in out.splitlines()[:-1]]
    assert shown == [[a["symbol"], f"{a['severity']:.3f}"] for a in expected]
    assert len(expected) == (2 if notional else 0)


# --- what a checkpoint reads of the alerts answer ---------------------------------------

SYMBOLS = ['q"uote', "back\\slash", '{"symbol":"X","severity":1,"factors":{}}', "é€", "我踢你USDT", "\u202e",
           "a\u0000b", "\x1b[31m", "tab\there", ""]


def hostile_alerts():
    radar = Radar(json.dumps({"signals": [{"kind": "book_imbalance", "params": [1]},
                                          {"kind": "liq_cluster", "params": [2, 10]}], "threshold": 0}))
    for n, symbol in enumerate(SYMBOLS):
        event = {"kind": "orderbook", "ts": n, "bid_volume": n + 1, "ask_volume": 3, "best_bid": 1, "best_ask": 2}
        radar.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event}))
    return radar.command('{"cmd":"alerts"}')


def test_alert_list_reads_what_json_reads():
    text = hostile_alerts()
    alerts = json.loads(text)["alerts"]
    listed = replay_cli.alert_list(text)
    assert [(s, v) for s, v, _ in listed] == [(a["symbol"], a["severity"]) for a in alerts]
    assert [replay_cli.factors_at(text, at) for _, _, at in listed] == [a["factors"] for a in alerts]
    assert len(alerts) == len(SYMBOLS)


def test_an_alerts_error_ends_the_command():
    with pytest.raises(Failure, match="^broken$"):
        replay_cli.alert_list('{"error":"broken","ok":false}')


def test_plain_lines_are_what_rich_writes(monkeypatch):
    """Off a terminal, lines skip rich; they must read exactly as rich would write them."""
    class Args:
        min_move = 0.0

    for name in ("FORCE_COLOR", "TTY_INTERACTIVE", "TTY_COMPATIBLE"):
        monkeypatch.delenv(name, raising=False)
    written = {}
    for plain in (False, True):
        stdout = io.StringIO()
        monkeypatch.setattr("sys.stdout", stdout)
        console = LazyConsole(highlight=False, markup=False)
        checkpoints = replay_cli.Checkpoints(Radar('{"signals":[{"kind":"book_imbalance","params":[1]}]}'), Args, console)
        checkpoints.plain = plain
        text = hostile_alerts()
        checkpoints.radar = type("Fixed", (), {"command": lambda self, _: text})()
        checkpoints.check(1715644800000)
        checkpoints.shown = {symbol: 0.0 for symbol in SYMBOLS[:3]} | {"gone": 1.0}
        checkpoints.check(None)
        written[plain] = stdout.getvalue()
    assert written[True] == written[False]
    assert len(written[True].splitlines()) == 2 * len(SYMBOLS) + 1


def test_a_reader_that_goes_away_ends_the_replay_quietly():
    done = subprocess.Popen([sys.executable, "-m", "zolvar_radar", "replay", "--every", "1", "--min-move", "0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert done.stdout.readline().strip()
    done.stdout.close()
    assert done.wait(timeout=120) == 0
    assert done.stderr.read() == b""


def test_alert_lines_never_share_the_progress_bar_line():
    pty = pytest.importorskip("pty")
    import fcntl
    import re
    import struct
    import termios

    main, child = pty.openpty()
    fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 160, 0, 0))
    done = subprocess.Popen([sys.executable, "-m", "zolvar_radar", "replay", "--every", "20000"],
                            stdin=child, stdout=child, stderr=child, close_fds=True)
    os.close(child)
    written = b""
    while chunk := _read(main):
        written += chunk
    os.close(main)
    assert done.wait(timeout=120) == 0
    text = re.sub(r"\x1b\[[0-9;]*m", "", written.decode())
    assert "replay " in text  # the bar was drawn
    starts = [m.start() for m in re.finditer(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  (new|up|down|cleared) ", text)]
    assert starts and all(text[:at].endswith(("\n", "\x1b[2K")) for at in starts)


def _read(fd):
    try:
        return os.read(fd, 1 << 16)
    except OSError:  # the child side closed
        return b""


def test_a_late_bad_line_keeps_what_was_replayed(capsys, tmp_path, replay_files):
    pytest.importorskip("matplotlib")
    spec, events = replay_files
    with open(events, "a") as f:
        f.write("{\n")
    bad_line = len(REPLAY_EVENTS) + 1
    png = tmp_path / "r.png"
    code, out, err = run(capsys, "replay", "--spec", spec, "--every", "1000", "--png", png, events)
    assert code == 2
    assert out.splitlines()[-1].startswith(f"replayed {len(REPLAY_EVENTS)} events for ")
    assert err.splitlines() == [f"wrote {png}", f"{events}:{bad_line}: parse: EOF while parsing an object at line 1 column 1"]
    assert png.read_bytes().startswith(b"\x89PNG")


@pytest.mark.parametrize("command, options, warned", [
    ("replay", ["--every-ts", "1h"], "--every-ts 1h assumes"),
    ("replay", ["--every-ts", "1h", "--bar", "1m"], "--bar 1m and --every-ts 1h assume"),
    ("replay", ["--every-ts", "3600", "--bar", "60"], None),
    ("scan", ["--bar", "1m"], "--bar 1m assumes"),
    ("scan", ["--bar", "1m", "--threshold", "2"], "--bar 1m assumes"),  # no alert: the first event tells
])
@pytest.mark.parametrize("scale", [1, 1000])
def test_durations_over_timestamps_not_in_epoch_ms_warn_once(capsys, tmp_path, command, options, warned, scale):
    # REPLAY_EVENTS in epoch seconds (scale 1) or, as the durations assume, milliseconds
    events = write_lines(tmp_path / "e.jsonl", [flat(s, {**e, "ts": e["ts"] // 1000 * scale}) for s, e in REPLAY_EVENTS])
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps({**REPLAY_SPEC, "threshold": 0}))  # every symbol alerts: a scan shows every time
    code, _, err = run(capsys, command, "--spec", spec, *options, events)
    lines = [line for line in err.splitlines() if line.startswith("warning:")]
    latest = (REPLAY_EVENTS[0][1]["ts"] if "--threshold" in options else max(e["ts"] for _, e in REPLAY_EVENTS)) // 1000
    expected = [f"warning: {warned} epoch milliseconds, but the timestamps read include {latest} (epoch seconds?); "
                f"give {'them' if ' and ' in warned else 'it'} in timestamp units instead"] if warned and scale == 1 else []
    assert code == 0 and lines == expected


def test_json_lines_say_each_change(capsys, replay_files):
    spec, events = replay_files
    code, out, err = run(capsys, "replay", "--json", "--spec", spec, "--every", "1", events)
    changes = [json.loads(line) for line in out.splitlines()]
    assert code == 0 and err.startswith("replayed 4 events for 2 symbols; 0 alerts active")
    clocks = [e["ts"] for _, e in REPLAY_EVENTS]
    assert [(c["change"], c["symbol"], c["clock"]) for c in changes] == [
        ("onset", "A", clocks[0]), ("moved", "A", clocks[2]), ("cleared", "A", clocks[3])]
    assert [(c["previous"], c["severity"]) for c in changes] == [
        (None, 1.0), (1.0, changes[1]["severity"]), (changes[1]["severity"], None)]
    assert round(changes[1]["severity"], 3) == 0.667
    assert changes[0]["factors"] == {"book_imbalance(0.5)": 1.0, "severity": 1.0} and changes[2]["factors"] is None
